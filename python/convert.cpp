// numpy arrays in and out without copies, result records as dicts, GIL-safe ownership.
#include "python/convert.h"

#include <bit>
#include <string>

namespace quern_py {
namespace {

// Drops its reference under the GIL; leaks it when the interpreter is already gone.
struct GilObject {
  py::object object;
  ~GilObject() {
    if (!Py_IsInitialized()) {
      object.release();
      return;
    }
    py::gil_scoped_acquire gil;
    object = py::object();
  }
};

std::string type_name(const py::handle& h) {
  return py::str(py::type::handle_of(h).attr("__name__")).cast<std::string>();
}

template <class T>
utils::AudioSamples adopt(const py::array& a) {
  std::shared_ptr<const void> owner = hold(a);
  return utils::AudioSamples(std::move(owner), static_cast<const T*>(a.data()),
                             static_cast<std::size_t>(a.size()));
}

template <class T>
py::array array_from(const utils::AudioSamples& samples) {
  const auto span = samples.as<T>();
  // The capsule owns a copy of the AudioSamples handle, so the numpy array keeps the samples.
  auto keep = std::make_unique<utils::AudioSamples>(samples);
  py::capsule base(keep.get(), [](void* p) { delete static_cast<utils::AudioSamples*>(p); });
  keep.release();
  py::array out(py::dtype::of<T>(), {static_cast<py::ssize_t>(span.size())},
                {static_cast<py::ssize_t>(sizeof(T))}, span.data(), base);
  out.attr("setflags")(py::arg("write") = false);
  return out;
}

}  // namespace

std::shared_ptr<py::object> hold(py::object object) {
  auto held = std::make_shared<GilObject>(GilObject{std::move(object)});
  return std::shared_ptr<py::object>(held, &held->object);
}

utils::AudioSamples samples_of(const py::handle& h) {
  if (!py::isinstance<py::array>(h)) {
    throw py::type_error("audio must be a numpy array, not " + type_name(h));
  }
  const auto a = py::reinterpret_borrow<py::array>(h);
  if (a.ndim() != 1) {
    throw py::value_error("audio must be one-dimensional, not of " + std::to_string(a.ndim()) +
                          " dimensions");
  }
  if (!(a.flags() & py::array::c_style)) {
    throw py::value_error("audio must be contiguous (use numpy.ascontiguousarray)");
  }
  const py::dtype dt = a.dtype();
  // '=' native, '|' no order (one byte), '<' or '>' explicit: native when it is this machine's.
  const char order = dt.byteorder();
  const bool native = order == '=' || order == '|' ||
                      order == (std::endian::native == std::endian::little ? '<' : '>');
  if (native && dt.kind() == 'f' && dt.itemsize() == 4) return adopt<float>(a);
  if (native && dt.kind() == 'f' && dt.itemsize() == 8) return adopt<double>(a);
  if (native && dt.kind() == 'i' && dt.itemsize() == 2) return adopt<std::int16_t>(a);
  if (native && dt.kind() == 'i' && dt.itemsize() == 4) return adopt<std::int32_t>(a);
  throw py::type_error(
      "audio dtype must be float32, float64, int16 or int32 in native byte order, "
      "not " +
      py::str(static_cast<const py::handle&>(dt)).cast<std::string>());
}

py::array array_of(const utils::AudioSamples& samples) {
  return samples.visit([&](auto span) -> py::array {
    using T = std::remove_cv_t<typename decltype(span)::value_type>;
    return array_from<T>(samples);
  });
}

py::object to_python(const nlohmann::ordered_json& v) {
  switch (v.type()) {
    case nlohmann::json::value_t::object: {
      py::dict d;
      for (const auto& [key, value] : v.items()) d[py::str(key)] = to_python(value);
      return d;
    }
    case nlohmann::json::value_t::array: {
      py::list l;
      for (const auto& item : v) l.append(to_python(item));
      return l;
    }
    case nlohmann::json::value_t::string:
      return py::str(v.get_ref<const std::string&>());
    case nlohmann::json::value_t::boolean:
      return py::bool_(v.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return py::int_(v.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return py::int_(v.get<std::uint64_t>());
    case nlohmann::json::value_t::number_float:
      return py::float_(v.get<double>());
    default:
      return py::none();
  }
}

py::list to_python(const models::ResultList& results) {
  py::list out;
  for (const auto& r : results) out.append(to_python(r));
  return out;
}

namespace {

nlohmann::ordered_json json_of(const py::handle& h) {
  if (h.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(h)) return h.cast<bool>();
  if (py::isinstance<py::int_>(h)) return h.cast<std::int64_t>();
  if (py::isinstance<py::float_>(h)) return h.cast<double>();
  if (py::isinstance<py::str>(h)) return h.cast<std::string>();
  if (py::isinstance<py::dict>(h)) {
    auto out = nlohmann::ordered_json::object();
    for (const auto& [k, v] : py::reinterpret_borrow<py::dict>(h)) {
      out[py::str(k).cast<std::string>()] = json_of(v);
    }
    return out;
  }
  if (py::isinstance<py::list>(h) || py::isinstance<py::tuple>(h)) {
    auto out = nlohmann::ordered_json::array();
    for (const auto& item : h) out.push_back(json_of(item));
    return out;
  }
  throw py::type_error("a result value must be None, bool, int, float, str, list or dict, not " +
                       type_name(h));
}

}  // namespace

models::ResultList results_of(const py::handle& list) {
  models::ResultList out;
  for (const auto& record : list) {
    if (!py::isinstance<py::dict>(record)) {
      throw py::type_error("an engine result must be a list of dicts, not of " + type_name(record));
    }
    out.push_back(json_of(record));
  }
  return out;
}

}  // namespace quern_py
