#include "base/error_text.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace vqflow {

namespace {

std::string type_name(const std::exception& error) {
  const char* mangled = typeid(error).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? demangled.get() : mangled;
}

void describe_into(const std::exception& error, std::string& out, int depth) {
  if (depth > 0) out += "\n  caused by ";
  out += type_name(error);
  out += ": ";
  out += error.what();
  try {
    std::rethrow_if_nested(error);
  } catch (const std::exception& nested) {
    if (depth < 16) describe_into(nested, out, depth + 1);
  } catch (...) {
  }
}

}  // namespace

std::string describe_exception(const std::exception& error) {
  std::string out;
  describe_into(error, out, 0);
  return out;
}

std::string describe_exception(std::exception_ptr error) {
  if (!error) return "no error";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return describe_exception(e);
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace vqflow
