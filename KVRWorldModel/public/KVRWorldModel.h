#pragma once

// The world model: every exported class.

#include "KVRBasicEntity.h"
#include "KVRBasicEntity3D.h"
#include "KVRBasicUniverse.h"
#include "KVRBasicWorld.h"
