#include "core/base/cwa_error.hpp"

#include <cerrno>
#include <cstring>

namespace velnora {

CwaError CwaError::io_errno(int error_number) {
  // strerror's text plus the number, as in "No such file or directory (os error 2)".
  std::string text = std::strerror(error_number);
  text += " (os error ";
  text += std::to_string(error_number);
  text += ')';
  // Memory the system refuses is not a fault of the file or its path.
  const Kind kind = error_number == ENOMEM ? Kind::OutOfMemory : Kind::Io;
  return CwaError(kind, std::move(text));
}

CwaError CwaError::io_text(std::string text) { return CwaError(Kind::Io, std::move(text)); }

CwaError CwaError::message(std::string text) { return CwaError(Kind::Message, std::move(text)); }

CwaError CwaError::out_of_memory(std::string text) { return CwaError(Kind::OutOfMemory, std::move(text)); }

CwaError CwaError::invalid_argument(std::string text) {
  return CwaError(Kind::InvalidArgument, std::move(text));
}

CwaError CwaError::interrupted() { return CwaError(Kind::Interrupted, "interrupted"); }

CwaError CwaError::unexpected_eof() { return io_text("failed to fill whole buffer"); }

std::string CwaError::text() const {
  if (kind_ == Kind::Io) return "IO error: " + detail_;
  return detail_;
}

}  // namespace velnora
