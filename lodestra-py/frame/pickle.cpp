#include "frame/pickle.hpp"

#include <cstddef>
#include <iterator>

#include "frame/args.hpp"
#include "frame/convert.hpp"
#include "frame/members.hpp"
#include "frame/registry.hpp"
#include "lodestra_core/format.hpp"

namespace lodestra_py {
namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

std::uint64_t little_endian(std::uint64_t word) {
  if constexpr (kLittleEndian) {
    return word;
  } else {
    return std::byteswap(word);
  }
}

// The reals of a state in place, each read with memcpy since the bytes need not be
// aligned for a double (compilers make plain loads of it).
struct RealsIterator {
  using iterator_category = std::forward_iterator_tag;
  using value_type = double;
  using difference_type = std::ptrdiff_t;
  using pointer = const double*;
  using reference = double;

  const char* at = nullptr;

  double operator*() const {
    std::uint64_t stored = 0;
    std::memcpy(&stored, at, sizeof stored);
    return std::bit_cast<double>(little_endian(stored));
  }
  RealsIterator& operator++() {
    at += sizeof(double);
    return *this;
  }
  RealsIterator operator++(int) {
    RealsIterator before = *this;
    at += sizeof(double);
    return before;
  }
  bool operator==(const RealsIterator&) const = default;
};

std::vector<std::pair<std::string, Restorer>>& restorers() {
  static std::vector<std::pair<std::string, Restorer>> table;
  return table;
}

// The module's _restore function, held (one reference of its own) for the reductions.
PyObject* restore_function = nullptr;

PyObject* restore(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* names[] = {"name", "state"};
  return guard([&] {
    Args a("_restore", names, 2, args, kwargs);
    PyObject* name_obj = a.raw(0);
    PyObject* state = a.raw(1);
    if (!PyUnicode_Check(name_obj)) {
      raise(PyExc_TypeError,
            "argument 'name': '" + type_name(name_obj) + "' object cannot be converted to 'str'");
    }
    if (!PyBytes_Check(state)) {
      raise(PyExc_TypeError,
            "argument 'state': '" + type_name(state) + "' object cannot be converted to 'bytes'");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name_obj, &size);
    if (text == nullptr) throw PythonError{};
    const std::string name(text, static_cast<std::size_t>(size));
    for (const auto& [class_name, restorer] : restorers()) {
      if (class_name != name) continue;
      StateReader reader(class_name, PyBytes_AsString(state),
                         static_cast<std::size_t>(PyBytes_Size(state)));
      reader.tag();
      return restorer(reader);
    }
    raise(PyExc_ValueError, "no class named '" + name + "' can be restored");
  });
}

PyMethodDef restore_def = {
    "_restore", as_method(restore), kCallFlags,
    "_restore(name, state)\n--\n\nThe instance of class `name` whose state is `state`."};

}  // namespace

void StateWriter::word(std::uint64_t value) {
  if (out_) {
    const std::uint64_t stored = little_endian(value);
    std::memcpy(out_ + size_, &stored, sizeof stored);
  }
  size_ += sizeof value;
}

void StateWriter::reals(const double* values, std::size_t n) {
  if (out_ && n > 0) {
    if constexpr (kLittleEndian) {
      std::memcpy(out_ + size_, values, n * sizeof(double));
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t stored = little_endian(std::bit_cast<std::uint64_t>(values[i]));
        std::memcpy(out_ + size_ + i * sizeof stored, &stored, sizeof stored);
      }
    }
  }
  size_ += n * sizeof(double);
}

void StateWriter::tag(const std::string& name) {
  if (out_) std::memcpy(out_ + size_, name.c_str(), name.size() + 1);
  size_ += name.size() + 1;
}

void StateReader::tag() {
  need(type_.size() + 1);
  if (std::memcmp(data_, type_.c_str(), type_.size() + 1) != 0) fail("a state of another class");
  data_ += type_.size() + 1;
  left_ -= type_.size() + 1;
}

void StateReader::fail(const std::string& what) const {
  raise(PyExc_ValueError, "invalid " + type_ + " state: " + what);
}

void StateReader::need(std::uint64_t bytes) {
  if (bytes > left_) fail("truncated");
}

std::uint64_t StateReader::word() {
  std::uint64_t stored = 0;
  need(sizeof stored);
  std::memcpy(&stored, data_, sizeof stored);
  data_ += sizeof stored;
  left_ -= sizeof stored;
  return little_endian(stored);
}

std::uint8_t StateReader::byte() {
  need(1);
  const auto value = static_cast<std::uint8_t>(*data_);
  data_ += 1;
  left_ -= 1;
  return value;
}

std::uint8_t StateReader::byte_below(std::uint8_t limit, const char* what) {
  const std::uint8_t value = byte();
  if (value >= limit) fail(std::string(what) + " " + lodestra_core::fmt_int(std::uint64_t{value}));
  return value;
}

std::uint64_t StateReader::product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t result = 0;
  if (__builtin_mul_overflow(a, b, &result)) fail("sizes overflow");
  return result;
}

std::uint64_t StateReader::length(std::uint64_t element_bytes) {
  const std::uint64_t n = count();
  need(product(n, element_bytes));
  return n;
}

std::vector<double> StateReader::reals(std::uint64_t n) {
  need(product(n, sizeof(double)));
  // Built straight from the bytes: a vector of n doubles would first be zero-filled.
  const RealsIterator first{data_};
  const RealsIterator last{data_ + n * sizeof(double)};
  std::vector<double> values(first, last);
  data_ += n * sizeof(double);
  left_ -= n * sizeof(double);
  return values;
}

void StateReader::finish() {
  if (left_ != 0) fail(lodestra_core::fmt_int(std::uint64_t{left_}) + " bytes too many");
}

PyObject* reduction(PyTypeObject* type, void (*write)(StateWriter&, const void*),
                    const void* value) {
  if (restore_function == nullptr) raise(PyExc_TypeError, "the module is not initialised");
  const std::string class_name = type_name_of(type);
  StateWriter measure;
  measure.tag(class_name);
  write(measure, value);
  Ref state(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(measure.size()))));
  StateWriter fill(PyBytes_AsString(state.get()));
  fill.tag(class_name);
  write(fill, value);
  Ref name(unicode(class_name));
  Ref args(check(PyTuple_Pack(2, name.get(), state.get())));
  return check(PyTuple_Pack(2, restore_function, args.get()));
}

void add_restorer(PyTypeObject* type, Restorer restore) {
  const std::string name = type_name_of(type);
  for (auto& entry : restorers()) {
    if (entry.first == name) {
      entry.second = restore;
      return;
    }
  }
  restorers().emplace_back(name, restore);
}

// The function's __module__ is the core's own name, under which pickle finds it
// again; the classes themselves read "builtins" and could not be found there.
void add_restore_function(PyObject* module) {
  Ref module_name(check(PyUnicode_FromString("lodestra._core")));
  PyObject* function = check(PyCFunction_NewEx(&restore_def, nullptr, module_name.get()));
  Py_INCREF(function);
  Py_XDECREF(restore_function);
  restore_function = function;
  set_attribute(module, "_restore", function);
}

}  // namespace lodestra_py
