#pragma once

// The world model: every exported class, the model checker, and what a
// caller needs from the platform layer to use them (exceptions, assertion
// reports, handles and their containers, math types).

#include "KVRAttributeExt.h"
#include "KVRAttributeSet.h"
#include "KVRBasicAttachment3D.h"
#include "KVRBasicBody3D.h"
#include "KVRBasicCamera3D.h"
#include "KVRBasicConnection3D.h"
#include "KVRBasicEntity.h"
#include "KVRBasicEntity3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicGroup3D.h"
#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicPart3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicRelationship3D.h"
#include "KVRBasicShuttle3D.h"
#include "KVRBasicTagPoint3D.h"
#include "KVRBasicUniverse.h"
#include "KVRBasicWorld.h"
#include "KVRChangeLog.h"
#include "KVRCheckModel.h"
#include "KVRIWDMExt.h"
#include "KVRMfgAssemblyTagPointExt.h"
#include "KVRRealData.h"
#include "KVRShuttlePlannerExt.h"
#include "KVRSymbol.h"
#include "KVRSymbolTable.h"
#include "KVRWDMSymbolTable.h"

#include "KVRAssertion.h"
#include "KVRException.h"
