// The root of every exception class in Quillvane.
//
// Each module raises exceptions of its own classes (EPacket, EFIFOList,
// ECustomPacketBuffer, ...). Every operation boundary catches them and logs
// one line "<operation> Exception: <class>.<message>", so each class knows its
// own name. Declare a class with QV_EXCEPTION_CLASS(EName, EBase).
#pragma once

#include <stdexcept>
#include <string>

namespace qv {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  virtual const char* ClassName() const noexcept { return "Exception"; }
};

#define QV_EXCEPTION_CLASS(Name, Base)                                   \
  class Name : public Base {                                             \
   public:                                                               \
    using Base::Base;                                                    \
    const char* ClassName() const noexcept override { return #Name; }    \
  }

// Read and write errors of streams and files (a short fixed-size read, a
// failed allocation).
QV_EXCEPTION_CLASS(EStreamError, Exception);

// Class name and message of any exception caught at an operation boundary:
// "<class>.<message>" for ours, "std::exception.<what>" otherwise.
inline std::string ExceptionText(const std::exception& e) {
  if (auto* q = dynamic_cast<const Exception*>(&e)) {
    return std::string(q->ClassName()) + "." + q->what();
  }
  return std::string("std::exception.") + e.what();
}

}  // namespace qv
