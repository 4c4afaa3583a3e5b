#pragma once
// Pickling and copies of every class. An instance reduces to
//
//   lodestra._core._restore(class_name, state)
//
// where `state` is one bytes object: the class name and a NUL byte, so that a state is
// never taken for one of another class of the same layout (a QField2D for a
// VelocityField2D), then the value's members in declaration order: counts as unsigned
// 64-bit integers, reals as the bit patterns of their IEEE doubles, both little-endian,
// single bytes for flags and enumerations, and each variable-length sequence as its
// count followed by its elements. Reals travel as bit patterns rather than Python
// floats because protocol 0 writes a float as text, which keeps neither the sign nor
// the payload of a NaN; so every protocol gives the value back bit for bit. copy.copy
// and copy.deepcopy go through the same reduction (a value owns all its data, so a
// copy is a deep one).
//
// Restoring reads the state through a bounds-checked reader: a name or state of
// the wrong type is a TypeError; an unknown class name, a state that is too short
// or too long, sizes whose product overflows, a count larger than the bytes that
// follow can hold, or an enumeration value out of range is a ValueError. Sizes are
// checked against the state before anything is allocated, and the instance is
// made only once the whole state has been read.
//
// A class becomes picklable by specialising State<T> with
//   static void write(StateWriter&, const T&);
//   static T read(StateReader&);
// (RecordState<T> does it for a record of counts and reals that lists its members
// once), listing reduce_method<T>() in its method table and making its class with
// picklable<T>(make_class_for<T>(...)).

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "frame/classes.hpp"
#include "frame/guard.hpp"
#include "frame/python.hpp"

namespace lodestra_py {

// Writes a state, or only measures it when no buffer is given: the reduction runs
// write() once to size the bytes object and once to fill it, so the data is copied
// exactly once.
class StateWriter {
 public:
  explicit StateWriter(char* out = nullptr) : out_(out) {}

  void count(std::uint64_t value) { word(value); }
  void real(double value) { word(std::bit_cast<std::uint64_t>(value)); }
  void byte(std::uint8_t value) {
    if (out_) out_[size_] = static_cast<char>(value);
    size_ += 1;
  }
  // The state's header: the class name and a NUL byte.
  void tag(const std::string& name);
  // `n` reals from contiguous storage, without a count.
  void reals(const double* values, std::size_t n);
  // A sequence: its count, then its reals.
  void sequence(const std::vector<double>& values) {
    count(values.size());
    reals(values.data(), values.size());
  }

  // One member of a plain record, by its type.
  void put(std::uint64_t value) { count(value); }
  void put(double value) { real(value); }

  std::size_t size() const { return size_; }

 private:
  void word(std::uint64_t value);

  char* out_;
  std::size_t size_ = 0;
};

class StateReader {
 public:
  StateReader(std::string type, const char* data, std::size_t size)
      : type_(std::move(type)), data_(data), left_(size) {}

  // Reads the header; fails unless it names this reader's class.
  void tag();
  std::uint64_t count() { return word(); }
  double real() { return std::bit_cast<double>(word()); }
  std::uint8_t byte();
  // A byte that must be below `limit` (an enumeration or a flag).
  std::uint8_t byte_below(std::uint8_t limit, const char* what);
  // `n` reals into new storage; fails before allocating if fewer are left.
  std::vector<double> reals(std::uint64_t n);
  // A sequence written by StateWriter::sequence.
  std::vector<double> sequence() { return reals(count()); }
  // A count of elements of `element_bytes` each, checked against the bytes left,
  // so a container of that many elements can be allocated safely.
  std::uint64_t length(std::uint64_t element_bytes);
  // a * b for sizes read from the state; their overflow is a bad state.
  std::uint64_t product(std::uint64_t a, std::uint64_t b);
  // One member of a plain record, by its type.
  void get(std::uint64_t& value) { value = count(); }
  void get(double& value) { value = real(); }
  // Fails unless every byte has been read.
  void finish();

  [[noreturn]] void fail(const std::string& what) const;

 private:
  std::uint64_t word();
  void need(std::uint64_t bytes);

  std::string type_;
  const char* data_;
  std::size_t left_;
};

template <class T>
struct State;

// Calls f on each member, left to right.
template <class F, class... Members>
void each_of(F&& f, Members&... members) {
  (f(members), ...);
}

// The state of a plain record of counts and reals: Members::each(value, f) calls f
// on each member in declaration order.
template <class T, class Members>
struct RecordState {
  static void write(StateWriter& writer, const T& value) {
    Members::each(value, [&](const auto& member) { writer.put(member); });
  }
  static T read(StateReader& reader) {
    T value{};
    Members::each(value, [&](auto& member) { reader.get(member); });
    return value;
  }
};

// A grid field: nx, ny (and nz for a 3D field), dx, then the flat records without a
// count, since their number follows from the grid and the record width.
template <class Field, std::uint64_t Width>
struct GridFieldState {
  static constexpr bool kThreeD = requires(Field f) { f.nz; };

  static void write(StateWriter& writer, const Field& f) {
    writer.count(f.nx);
    writer.count(f.ny);
    if constexpr (kThreeD) writer.count(f.nz);
    writer.real(f.dx);
    writer.reals(f.data.data(), f.data.size());
  }
  static Field read(StateReader& reader) {
    Field f;
    f.nx = reader.count();
    f.ny = reader.count();
    std::uint64_t vertices = reader.product(f.nx, f.ny);
    if constexpr (kThreeD) {
      f.nz = reader.count();
      vertices = reader.product(vertices, f.nz);
    }
    f.dx = reader.real();
    f.data = reader.reals(reader.product(vertices, Width));
    return f;
  }
};

using Restorer = PyObject* (*)(StateReader&);

// Builds (_restore, (name of `type`, state)) from a state writer.
PyObject* reduction(PyTypeObject* type, void (*write)(StateWriter&, const void*),
                    const void* value);
// Makes the class restorable under its name.
void add_restorer(PyTypeObject* type, Restorer restore);
// Creates lodestra._core._restore and sets it on the module, outside __all__.
void add_restore_function(PyObject* module);

template <class T>
void write_state(StateWriter& writer, const void* value) {
  State<T>::write(writer, *static_cast<const T*>(value));
}

template <class T>
PyObject* reduce_state(PyObject* self, PyObject*) {
  return guard([&] { return reduction(class_of<T>, &write_state<T>, &unbox<T>(self)); });
}

template <class T>
PyObject* restore_state(StateReader& reader) {
  T value = State<T>::read(reader);
  reader.finish();
  return wrap(std::move(value));
}

template <class T>
constexpr PyMethodDef reduce_method() {
  return {"__reduce__", reduce_state<T>, METH_NOARGS,
          "__reduce__($self)\n--\n\nState for pickle and copy: the value, bit for bit."};
}

template <class T>
PyTypeObject* picklable(PyTypeObject* type) {
  add_restorer(type, &restore_state<T>);
  return type;
}

}  // namespace lodestra_py
