// SileroVADModel: the process-wide cache, loading with its messages, and prediction that turns
// every model failure into 0.0.
#include "utils/vad/silero_vad_model.h"

#include <filesystem>
#include <map>
#include <stdexcept>
#include <system_error>

#include "platform/quern_log.h"
#include "platform/silero_package.h"
#include "utils/thread_annotations.h"
#include "utils/vad/direct_model.h"
#include "utils/vad/silero_network.h"
#include "utils/vad/torch_plugin.h"
#include "utils/vad/weights_file.h"

namespace utils::vad {
namespace {

struct Cache {
  utils::Mutex _cache_lock;  // held while loading: one load at a time, for any key
  std::map<std::string, std::shared_ptr<SileroVADModel>> _model_cache QUERN_GUARDED_BY(_cache_lock);
};

// Never destroyed: cached models live until the process ends, and host threads may still call
// in while it exits.
Cache& cache() {
  static Cache* const c = new Cache;
  return *c;
}

// The message to log for a failure being handled. REQUIRES: inside a catch block.
std::string current_message() {
  try {
    throw;
  } catch (const std::exception& e) {
    return std::string(e.what());
  } catch (...) {
    return "unknown error";
  }
}

// The packaged model: its weights file beside the TorchScript file (same name, .qvw) on the
// direct path, without the interpreter; the TorchScript file itself where there is none (a host's
// locator may name a model of its own).
std::unique_ptr<detail::ModelBackend> load_packaged(const std::string& path,
                                                    const std::string& device) {
  const std::filesystem::path weights = std::filesystem::path(path).replace_extension(".qvw");
  std::error_code ec;
  if (!std::filesystem::exists(weights, ec)) return detail::torch_plugin().load(path, device);
  // The direct path runs on the CPU only.
  if (device != "cpu" && device != "cpu:0") {
    throw std::runtime_error("device '" + device + "' is not available in this build");
  }
  auto [branch16, branch8] = detail::read_weights_file(weights.string());
  return std::make_unique<detail::DirectModel>(branch16, branch8);
}

}  // namespace

SileroVADModel::Stream::Stream(std::unique_ptr<detail::ModelStream> impl)
    : impl_(std::move(impl)) {}
SileroVADModel::Stream::Stream(Stream&&) noexcept = default;
SileroVADModel::Stream& SileroVADModel::Stream::operator=(Stream&&) noexcept = default;
SileroVADModel::Stream::~Stream() = default;

SileroVADModel::SileroVADModel(NoLoad, std::optional<std::string> path, std::string dev)
    : device(std::move(dev)), model_path(std::move(path)) {}

SileroVADModel::SileroVADModel(std::optional<std::string> path, std::string dev)
    : SileroVADModel(NoLoad{}, std::move(path), std::move(dev)) {
  _load_model();
}

SileroVADModel::~SileroVADModel() = default;

std::unique_ptr<SileroVADModel> SileroVADModel::without_model_for_testing() {
  return std::unique_ptr<SileroVADModel>(new SileroVADModel(NoLoad{}, std::nullopt, "cpu"));
}

void SileroVADModel::_load_model() {
  try {
    std::error_code ec;
    if (model_path && !model_path->empty() && std::filesystem::exists(*model_path, ec)) {
      quern_log::logger.info("Loading Silero VAD model from " + *model_path);
      model_ = detail::torch_plugin().load(*model_path, device);
    } else {
      quern_log::logger.info("Loading Silero VAD model from torch hub (using local cache)...");
      const auto packaged = silero_vad::load_silero_vad();
      if (!packaged) throw std::runtime_error("Failed to load Silero VAD model");
      model_ = load_packaged(*packaged, device);
      quern_log::logger.info("Silero VAD model loaded successfully");
    }
  } catch (...) {
    quern_log::logger.error("Failed to load Silero VAD model: " + current_message());
    throw;
  }
}

std::shared_ptr<SileroVADModel> SileroVADModel::get_instance(std::optional<std::string> path,
                                                             const std::string& dev) {
  const std::string key = path.value_or("None") + "_" + dev;
  auto& c = cache();
  utils::MutexLock lock(c._cache_lock);
  auto it = c._model_cache.find(key);
  if (it == c._model_cache.end()) {
    auto instance = std::make_shared<SileroVADModel>(std::move(path), dev);
    it = c._model_cache.emplace(key, std::move(instance)).first;
    quern_log::logger.info("Created new SileroVADModel instance for " + key);
  }
  return it->second;
}

namespace {

// The frame as float32: in place when it already is, else converted value by value. `keep` holds
// the converted copy for as long as the caller needs the frame.
detail::Frame float_frame(const AudioSamples& audio, AudioSamples& keep) {
  keep = audio.dtype() == DType::float32 ? audio : audio.astype(DType::float32);
  const auto s = keep.as<float>();
  return {s.data(), s.size(), keep.owner()};
}

}  // namespace

double SileroVADModel::predict(const AudioSamples& audio, int sample_rate) {
  if (!model_) throw std::runtime_error("Model not loaded");
  try {
    AudioSamples keep;
    return model_->forward(float_frame(audio, keep), sample_rate);
  } catch (...) {
    quern_log::logger.error("Error in VAD prediction: " + current_message());
    return 0.0;
  }
}

SileroVADModel::Stream SileroVADModel::new_stream() const {
  if (!model_) throw std::runtime_error("Model not loaded");
  return Stream(model_->new_stream());
}

double SileroVADModel::predict(const AudioSamples& audio, int sample_rate, Stream& stream) const {
  if (!model_) throw std::runtime_error("Model not loaded");
  try {
    AudioSamples keep;
    return model_->forward(float_frame(audio, keep), sample_rate, *stream.impl_);
  } catch (...) {
    quern_log::logger.error("Error in VAD prediction: " + current_message());
    return 0.0;
  }
}

void SileroVADModel::predict_batch(std::span<const AudioSamples> frames,
                                   std::span<const int> sample_rates,
                                   std::span<Stream* const> streams,
                                   std::span<double> probabilities) const {
  if (!model_) throw std::runtime_error("Model not loaded");
  const std::size_t n = frames.size();
  if (sample_rates.size() != n || streams.size() != n || probabilities.size() != n) {
    throw std::invalid_argument("predict_batch: " + std::to_string(n) + " frames, " +
                                std::to_string(sample_rates.size()) + " sample rates, " +
                                std::to_string(streams.size()) + " streams and " +
                                std::to_string(probabilities.size()) + " results");
  }
  // Working memory of this thread, reused from call to call.
  thread_local std::vector<AudioSamples> keep;
  thread_local std::vector<detail::Frame> in;
  thread_local std::vector<detail::ModelStream*> impls;
  thread_local std::vector<std::exception_ptr> errors;
  keep.resize(n);
  in.resize(n);
  impls.resize(n);
  errors.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    impls[i] = streams[i]->impl_.get();
    in[i] = float_frame(frames[i], keep[i]);
  }
  detail::require_distinct(impls.data(), n);
  model_->forward_batch(in.data(), sample_rates.data(), impls.data(), n, probabilities.data(),
                        errors.data());
  for (std::size_t i = 0; i < n; ++i) {
    if (!errors[i]) continue;
    try {
      std::rethrow_exception(errors[i]);
    } catch (...) {
      quern_log::logger.error("Error in VAD prediction: " + current_message());
    }
    errors[i] = nullptr;
  }
  for (auto& k : keep) k = AudioSamples();  // let go of the callers' samples
}

bool SileroVADModel::set_frame_kernel(FrameKernel kernel) {
  return detail::SileroNetwork::set_kernel(kernel == FrameKernel::avx2 ? detail::Kernel::avx2
                                                                       : detail::Kernel::portable);
}

SileroVADModel::FrameKernel SileroVADModel::frame_kernel() {
  return detail::SileroNetwork::kernel() == detail::Kernel::avx2 ? FrameKernel::avx2
                                                                 : FrameKernel::portable;
}

}  // namespace utils::vad
