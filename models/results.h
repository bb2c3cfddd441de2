// Recognition results. A TranscriptionResult is one record, a map from string keys to values
// (the key "text" holds recognised text); a ResultList is an ordered list of records. An empty
// recognition is an empty list, not a record with an empty text.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

namespace models {

using TranscriptionResult = nlohmann::ordered_json;
using ResultList = std::vector<TranscriptionResult>;

}  // namespace models
