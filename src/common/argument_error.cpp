#include "common/argument_error.hpp"

namespace pwpoly {

void refuse(std::string message) { throw ArgumentError(std::move(message)); }

}  // namespace pwpoly
