#pragma once

// The world model: every exported class.

#include "KVRBasicEntity.h"
