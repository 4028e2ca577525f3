#include "KVRAttributeBase.h"

KVRAttributeBase::~KVRAttributeBase() = default;
