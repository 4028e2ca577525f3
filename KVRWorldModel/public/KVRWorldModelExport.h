#pragma once

// Symbols of the world model library are hidden unless marked with KVRWORLDMODEL_API.
#define KVRWORLDMODEL_API __attribute__((visibility("default")))
