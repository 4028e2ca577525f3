#pragma once

// Symbols of the export library are hidden unless marked with KVREXPORT_API.
#define KVREXPORT_API __attribute__((visibility("default")))
