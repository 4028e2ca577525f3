#pragma once

// Builds an entity tree from a parsed snapshot document (see KVRSnapshot.h);
// KVRCellReader.h holds the reader itself.
// Everything in the document is read and checked first, references resolved
// and both trees checked for cycles and depth; then the entities are built
// apart, linked, placed and made quiet. Any failure throws
// KVREInvalidArgument naming the record and the field, after orphaning
// whatever was built.

#include <nlohmann/json.hpp>

#include "KVRSnapshot.h"

KVRSharedHandle<KVRBasicEntity> KVRReadSnapshot(const nlohmann::json& document,
                                                const KVRSnapshot::ReadOptions& options);

// The document of `text`, parsed; KVREInvalidArgument when it is larger than
// `maxBytes` or not JSON.
nlohmann::json KVRParseCellText(std::string_view text, std::size_t maxBytes);
