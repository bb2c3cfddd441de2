// AudioSamples: the one-dimensional sample array that every library of the engine layer passes
// around. It is an immutable, reference-counted buffer tagged with its element type, so a chunk
// handed to the controller, a slice taken for one VAD frame and a tensor wrapped around the samples
// can all share one allocation without copying.
//
// Thread safety: an AudioSamples is immutable; copies may be read and destroyed from any threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace utils {

// Element types, named as sample arrays usually name them.
enum class DType { float32, float64, int16, int32 };

constexpr std::string_view dtype_name(DType t) {
  switch (t) {
    case DType::float32:
      return "float32";
    case DType::float64:
      return "float64";
    case DType::int16:
      return "int16";
    case DType::int32:
      return "int32";
  }
  return "unknown";
}

template <class T>
struct dtype_of;
template <>
struct dtype_of<float> {
  static constexpr DType value = DType::float32;
};
template <>
struct dtype_of<double> {
  static constexpr DType value = DType::float64;
};
template <>
struct dtype_of<std::int16_t> {
  static constexpr DType value = DType::int16;
};
template <>
struct dtype_of<std::int32_t> {
  static constexpr DType value = DType::int32;
};
template <class T>
inline constexpr DType dtype_of_v = dtype_of<T>::value;

// The common type of two element types, as numpy promotes them: float64 absorbs everything,
// int16 + int32 -> int32, int16 + float32 -> float32, int32 + float32 -> float64 (a float32 cannot
// hold every int32 exactly).
constexpr DType promote(DType a, DType b) {
  if (a == b) return a;
  if (a == DType::float64 || b == DType::float64) return DType::float64;
  const bool has_float32 = a == DType::float32 || b == DType::float32;
  const bool has_int32 = a == DType::int32 || b == DType::int32;
  if (has_float32 && has_int32) return DType::float64;
  if (has_float32) return DType::float32;
  return DType::int32;
}

constexpr std::size_t dtype_size(DType t) {
  switch (t) {
    case DType::float32:
    case DType::int32:
      return 4;
    case DType::float64:
      return 8;
    case DType::int16:
      return 2;
  }
  return 0;
}

class AudioSamples {
 public:
  // An empty float32 array.
  AudioSamples() = default;

  // Takes ownership of the vector's storage; the samples are never copied.
  template <class T>
  explicit AudioSamples(std::vector<T>&& samples) : size_(samples.size()), dtype_(dtype_of_v<T>) {
    auto holder = std::make_shared<std::vector<T>>(std::move(samples));
    data_ = std::shared_ptr<const std::byte>(holder,
                                             reinterpret_cast<const std::byte*>(holder->data()));
  }

  // Adopts `count` samples at `data` without copying them; `owner` keeps that memory alive and is
  // held for as long as this array or any copy or view of it lives (a numpy array, a mapped
  // file...). REQUIRES: the memory stays unchanged while it is held.
  template <class T>
  AudioSamples(std::shared_ptr<const void> owner, const T* data, std::size_t count)
      : data_(std::move(owner), reinterpret_cast<const std::byte*>(data)),
        size_(count),
        dtype_(dtype_of_v<T>) {}

  // Copies the given samples into a new array.
  template <class T>
  static AudioSamples copy_of(std::span<const T> samples) {
    return AudioSamples(std::vector<T>(samples.begin(), samples.end()));
  }
  template <class T>
  static AudioSamples copy_of(std::initializer_list<T> samples) {
    return AudioSamples(std::vector<T>(samples));
  }

  // `n` zero samples of the given type.
  static AudioSamples zeros(std::size_t n, DType t) {
    switch (t) {
      case DType::float32:
        return AudioSamples(std::vector<float>(n));
      case DType::float64:
        return AudioSamples(std::vector<double>(n));
      case DType::int16:
        return AudioSamples(std::vector<std::int16_t>(n));
      case DType::int32:
        return AudioSamples(std::vector<std::int32_t>(n));
    }
    throw std::invalid_argument("AudioSamples: unknown element type");
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  DType dtype() const noexcept { return dtype_; }
  std::string_view dtype_name() const noexcept { return utils::dtype_name(dtype_); }

  // Typed read access. Throws std::invalid_argument when T is not the element type.
  template <class T>
  std::span<const T> as() const {
    if (dtype_of_v<T> != dtype_) {
      throw std::invalid_argument("AudioSamples: element type is " + std::string(dtype_name()) +
                                  ", not " + std::string(utils::dtype_name(dtype_of_v<T>)));
    }
    return {reinterpret_cast<const T*>(data_.get()), size_};
  }

  // Calls f(std::span<const T>) with the samples in their own element type.
  template <class F>
  decltype(auto) visit(F&& f) const {
    switch (dtype_) {
      case DType::float64:
        return std::forward<F>(f)(as<double>());
      case DType::int16:
        return std::forward<F>(f)(as<std::int16_t>());
      case DType::int32:
        return std::forward<F>(f)(as<std::int32_t>());
      case DType::float32:
        break;
    }
    return std::forward<F>(f)(as<float>());
  }

  // A view of samples [start, end) sharing this array's storage. Throws std::out_of_range unless
  // start <= end <= size().
  AudioSamples slice(std::size_t start, std::size_t end) const {
    if (start > end || end > size_) {
      throw std::out_of_range("AudioSamples: slice [" + std::to_string(start) + ", " +
                              std::to_string(end) + ") out of range for " + std::to_string(size_) +
                              " samples");
    }
    AudioSamples view(*this);
    view.data_ = std::shared_ptr<const std::byte>(data_, data_.get() + start * dtype_size(dtype_));
    view.size_ = end - start;
    return view;
  }

  // The keep-alive handle of the storage: holding it keeps the samples valid.
  std::shared_ptr<const void> owner() const noexcept { return data_; }

  // True when both arrays view the same storage at the same place.
  bool shares_storage_with(const AudioSamples& other) const noexcept {
    return data_.get() == other.data_.get();
  }

  // A copy converted value by value (no rescaling; float -> int truncates as a static_cast would,
  // so only use it for float targets or for values known to fit).
  AudioSamples astype(DType t) const {
    switch (t) {
      case DType::float32:
        return converted<float>();
      case DType::float64:
        return converted<double>();
      case DType::int16:
        return converted<std::int16_t>();
      case DType::int32:
        return converted<std::int32_t>();
    }
    throw std::invalid_argument("AudioSamples: unknown element type");
  }

  // All chunks end to end. The element type is the promoted common type of the chunks; an empty
  // list gives an empty float64 array. Chunks of one type are copied with one memcpy each.
  static AudioSamples join(std::span<const AudioSamples> chunks) {
    if (chunks.empty()) return zeros(0, DType::float64);
    DType common = chunks.front().dtype();
    std::size_t total = 0;
    for (const auto& c : chunks) {
      common = promote(common, c.dtype());
      total += c.size();
    }
    switch (common) {
      case DType::float32:
        return joined<float>(chunks, total);
      case DType::float64:
        return joined<double>(chunks, total);
      case DType::int16:
        return joined<std::int16_t>(chunks, total);
      case DType::int32:
        return joined<std::int32_t>(chunks, total);
    }
    throw std::invalid_argument("AudioSamples: unknown element type");
  }

 private:
  template <class T>
  AudioSamples converted() const {
    std::vector<T> out(size_);
    visit([&](auto src) {
      for (std::size_t i = 0; i < src.size(); ++i) out[i] = static_cast<T>(src[i]);
    });
    return AudioSamples(std::move(out));
  }

  template <class T>
  static AudioSamples joined(std::span<const AudioSamples> chunks, std::size_t total) {
    std::vector<T> out(total);
    T* dst = out.data();
    for (const auto& c : chunks) {
      c.visit([&](auto src) {
        using S = typename decltype(src)::value_type;
        if constexpr (std::is_same_v<std::remove_cv_t<S>, T>) {
          if (!src.empty()) std::memcpy(dst, src.data(), src.size() * sizeof(T));
        } else {
          for (std::size_t i = 0; i < src.size(); ++i) dst[i] = static_cast<T>(src[i]);
        }
      });
      dst += c.size();
    }
    return AudioSamples(std::move(out));
  }

  std::shared_ptr<const std::byte> data_;
  std::size_t size_ = 0;
  DType dtype_ = DType::float32;
};

}  // namespace utils
