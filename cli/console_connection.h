#pragma once
#include <ostream>
#include <string>

#include "context/client_connection.h"

namespace vqflow::cli {

// Prints each live message of a run on one line: the exact JSON text, or a
// readable aligned line (time, node, status, result) with failed steps marked,
// and the run_closed message as the line that says how the run ended.
class ConsoleConnection : public ClientConnection {
 public:
  ConsoleConnection(std::ostream& out, bool json) : out_(out), json_(json) {}
  void send(const std::string& text) override;

 private:
  std::ostream& out_;
  bool json_;
};

// Columns a text takes in a terminal (East Asian wide characters count two).
std::size_t display_width(const std::string& text);

// `text` followed by spaces up to `width` columns (as is when it is wider).
std::string pad(const std::string& text, std::size_t width);

// `text` on one terminal line: control characters of hostile texts must not
// move the cursor or forge further lines ("\n" is shown as \n, others as spaces).
std::string one_line(const std::string& text);

}  // namespace vqflow::cli
