#pragma once
#include <exception>
#include <string>

namespace vqflow {

// "<type>: <message>" of an exception, with nested causes on further lines.
std::string describe_exception(const std::exception& error);
std::string describe_exception(std::exception_ptr error);

}  // namespace vqflow
