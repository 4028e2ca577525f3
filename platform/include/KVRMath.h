#pragma once

// All geometry and time types of the platform: constants, vectors, quaternions, rigid
// transforms, angle triples, motion profiles and simulation time.
#include "KVRBasicEuler3D.h"
#include "KVRBasicProfile3D.h"
#include "KVRBasicQtn3D.h"
#include "KVRBasicVector3D.h"
#include "KVRBasicXform3D.h"
#include "KVRMath3D.h"
#include "KVRMathConst.h"
#include "KVRSimTime.h"
