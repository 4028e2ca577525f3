#pragma once

// Symbols of the history library are hidden unless marked with KVRHISTORY_API.
#define KVRHISTORY_API __attribute__((visibility("default")))
