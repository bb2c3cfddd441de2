// Why an utterance of a stream ended: the reason every final carries.
#pragma once

#include <cstddef>
#include <string_view>

#include "utils/export.h"

namespace quern {

enum class EndReason {
  speech_ended,         // the detector heard the end of speech ("speech_ended")
  max_samples_reached,  // the utterance reached its longest ("max_samples_reached(T>=M)")
  silence_timeout,      // no audio for the silence timeout ("silence_timeout(Es>=Ds)")
  end_of_stream,        // the stream ended ("end_of_stream")
  shutdown,             // the host ended the stream because it is going away ("shutdown")
};
inline constexpr std::size_t kEndReasons = 5;

// "speech_ended", "max_samples_reached", "silence_timeout", "end_of_stream", "shutdown".
QUERN_STREAM_API std::string_view name_of(EndReason reason) noexcept;

}  // namespace quern
