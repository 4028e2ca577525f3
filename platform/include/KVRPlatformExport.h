#pragma once

// Symbols of the platform library are hidden unless marked with KVRPLATFORM_API.
#define KVRPLATFORM_API __attribute__((visibility("default")))
