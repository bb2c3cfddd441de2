// quern.vad: VADConfig, VADDetector, SileroVADModel, process_audio_batch, FrameCarry and
// Segmenter. Every call that computes or may wait for a lock runs without the GIL, so detectors
// on different Python threads run in parallel.
#include <limits>
#include <optional>
#include <span>

#include "python/bindings.h"
#include "python/convert.h"
#include "utils/vad/frame_carry.h"
#include "utils/vad/process_audio_batch.h"
#include "utils/vad/segmenter.h"
#include "utils/vad/vad_detector.h"

namespace quern_py {

using utils::vad::FrameCarry;
using utils::vad::Segment;
using utils::vad::Segmenter;
using utils::vad::SileroVADModel;
using utils::vad::VADConfig;
using utils::vad::VADConfigFields;
using utils::vad::VADDetector;

void bind_vad(py::module_& m) {
  py::class_<VADConfig, std::shared_ptr<VADConfig>>(m, "VADConfig")
      .def(
          py::init([](int sample_rate, int frame_size, double energy_threshold,
                      double silence_duration, double speech_padding, bool use_model,
                      std::string model_name, std::optional<std::string> model_path,
                      double model_threshold, std::string device) {
            py::gil_scoped_release nogil;  // post_init may log
            return std::make_shared<VADConfig>(VADConfigFields{.sample_rate = sample_rate,
                                                               .frame_size = frame_size,
                                                               .energy_threshold = energy_threshold,
                                                               .silence_duration = silence_duration,
                                                               .speech_padding = speech_padding,
                                                               .use_model = use_model,
                                                               .model_name = std::move(model_name),
                                                               .model_path = std::move(model_path),
                                                               .model_threshold = model_threshold,
                                                               .device = std::move(device)});
          }),
          py::kw_only(), py::arg("sample_rate") = 16000, py::arg("frame_size") = 512,
          py::arg("energy_threshold") = 0.01, py::arg("silence_duration") = 1.0,
          py::arg("speech_padding") = 0.3, py::arg("use_model") = false,
          py::arg("model_name") = "silero-vad", py::arg("model_path") = py::none(),
          py::arg("model_threshold") = 0.5, py::arg("device") = "cpu")
      .def_readwrite("sample_rate", &VADConfig::sample_rate)
      .def_readwrite("frame_size", &VADConfig::frame_size)
      .def_readwrite("energy_threshold", &VADConfig::energy_threshold)
      .def_readwrite("silence_duration", &VADConfig::silence_duration)
      .def_readwrite("speech_padding", &VADConfig::speech_padding)
      .def_readwrite("use_model", &VADConfig::use_model)
      .def_readwrite("model_name", &VADConfig::model_name)
      .def_readwrite("model_path", &VADConfig::model_path)
      .def_readwrite("model_threshold", &VADConfig::model_threshold)
      .def_readwrite("device", &VADConfig::device)
      .def_property_readonly("silence_frames", &VADConfig::silence_frames)
      .def_property_readonly("padding_frames", &VADConfig::padding_frames);

  py::class_<SileroVADModel, std::shared_ptr<SileroVADModel>>(m, "SileroVADModel")
      .def_static("get_instance", &SileroVADModel::get_instance, py::arg("model_path") = py::none(),
                  py::arg("device") = "cpu", py::call_guard<py::gil_scoped_release>())
      .def(
          "predict",
          [](SileroVADModel& model, const py::handle& audio, int sample_rate) {
            const auto samples = samples_of(audio);
            py::gil_scoped_release nogil;
            return model.predict(samples, sample_rate);
          },
          py::arg("audio"), py::arg("sample_rate") = 16000)
      .def_readonly("device", &SileroVADModel::device)
      .def_readonly("model_path", &SileroVADModel::model_path);

  m.def(
      "process_audio_batch",
      [](const std::vector<VADDetector*>& detectors, const py::sequence& chunks) {
        std::vector<utils::AudioSamples> samples;
        samples.reserve(chunks.size());
        for (const auto& c : chunks) samples.push_back(samples_of(c));
        py::gil_scoped_release nogil;
        return utils::vad::process_audio_batch(detectors, samples);
      },
      py::arg("detectors"), py::arg("chunks"),
      "detectors[i].process_audio(chunks[i]) for every i, the model-mode frames of detectors "
      "sharing a model run together; a list of (has_speech, speech_ended).");

  py::class_<VADDetector>(m, "VADDetector")
      .def(py::init<std::shared_ptr<VADConfig>>(), py::arg("config") = nullptr,
           py::call_guard<py::gil_scoped_release>())
      .def("process_audio", with_audio(&VADDetector::process_audio), py::arg("audio"))
      .def("process_frame", with_audio(&VADDetector::process_frame), py::arg("audio"))
      .def("reset", &VADDetector::reset, py::call_guard<py::gil_scoped_release>())
      .def("get_state", [](const VADDetector& d) { return to_python(d.get_state()); })
      .def_readonly("config", &VADDetector::config)
      .def_readonly("vad_model", &VADDetector::vad_model)
      .def_readonly("speech_detected", &VADDetector::speech_detected)
      .def_readonly("silence_counter", &VADDetector::silence_counter)
      .def_readonly("padding_counter", &VADDetector::padding_counter)
      .def_readonly("last_speech_prob", &VADDetector::last_speech_prob);

  py::class_<FrameCarry>(m, "FrameCarry")
      .def(py::init<std::int64_t>(), py::arg("frame_size"))
      .def(
          "take",
          [](FrameCarry& c, const py::handle& chunk) {
            // float32 only: the carry joins samples of one type (others raise ValueError).
            const auto samples = samples_of(chunk);
            return array_of(c.take(samples.as<float>()));
          },
          py::arg("chunk"),
          "The carried samples and the chunk (float32), cut to whole frames; the rest waits for "
          "the next call.")
      .def_property_readonly("carried", &FrameCarry::carried)
      .def_property_readonly("frame_size", &FrameCarry::frame_size)
      .def("reset", &FrameCarry::reset);

  auto segments = [](std::span<const Segment> s) {
    py::list out;
    for (const Segment& x : s) out.append(py::make_tuple(x.start, x.end));
    return out;
  };
  py::class_<Segmenter>(m, "Segmenter")
      .def(py::init([](double frame_seconds, double end_threshold, double end_gap,
                       double min_speech, double max_speech, double pad) {
             return Segmenter(frame_seconds, {.end_threshold = end_threshold,
                                              .end_gap = end_gap,
                                              .min_speech = min_speech,
                                              .max_speech = max_speech,
                                              .pad = pad});
           }),
           py::arg("frame_seconds"), py::kw_only(),
           py::arg("end_threshold") = -std::numeric_limits<double>::infinity(),
           py::arg("end_gap") = std::numeric_limits<double>::infinity(),
           py::arg("min_speech") = 0.0,
           py::arg("max_speech") = std::numeric_limits<double>::infinity(), py::arg("pad") = 0.0)
      .def(
          "push",
          [segments](Segmenter& s, bool is_speech, bool speech_ended, double score) {
            return segments(s.push(is_speech, speech_ended, score));
          },
          py::arg("is_speech"), py::arg("speech_ended"), py::arg("score"))
      .def("finish", [segments](Segmenter& s) { return segments(s.finish()); });
}

}  // namespace quern_py
