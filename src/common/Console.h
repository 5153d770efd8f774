#pragma once

#include <functional>
#include <string>

namespace quorvane::console {

/// Receives one progress line, without its newline.
using Sink = std::function<void(const std::string& line)>;

/// Sends every later progress line to `sink`; an empty sink restores the
/// default, std::cout with std::endl. Set it before any train runs.
void set_sink(Sink sink);

/// Writes one progress line (the component's tag included) to the sink.
void write_line(const std::string& line);

}  // namespace quorvane::console
