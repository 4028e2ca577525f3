#pragma once

// The whole platform layer: object model, system services, collections, math.

#include "KVRAssertion.h"
#include "KVRAttributeBase.h"
#include "KVRDynamicObject.h"
#include "KVRException.h"
#include "KVRExtendibleObject.h"
#include "KVRFunctor.h"
#include "KVRMessage.h"
#include "KVRNotificationAgent.h"
#include "KVRSharedChain.h"
#include "KVRSharedList.h"
#include "KVRSharedObject.h"
#include "KVRSymbolBase.h"
#include "KVRTraceLog.h"
#include "KVRUUID.h"
