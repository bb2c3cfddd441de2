// The keyword arguments of the engines on the FunASR runtime: the Paraformer engines and the
// SenseVoice FunASR engines take the same ones.
#pragma once

#include <string>
#include <vector>

namespace models {

// A streaming engine's arguments, in the order the controller passes them.
struct FunASRStreamOptions {
  std::string model = "";
  std::string model_path = "";
  std::string revision = "";
  std::string device = "cpu";
  std::vector<int> chunk_size = {0, 10, 5};
  int encoder_chunk_look_back = 4;
  int decoder_chunk_look_back = 1;
};

// An offline engine's arguments.
struct FunASROfflineOptions {
  std::string model = "";
  std::string model_path = "";
  std::string revision = "";
  std::string device = "cpu";
};

}  // namespace models
