#include "Console.h"

#include <iostream>
#include <mutex>
#include <utility>

namespace quorvane::console {

namespace {

std::mutex sink_mutex;
Sink current_sink;

}  // namespace

void set_sink(Sink sink) {
    const std::lock_guard<std::mutex> lock(sink_mutex);
    current_sink = std::move(sink);
}

void write_line(const std::string& line) {
    Sink sink;
    {
        const std::lock_guard<std::mutex> lock(sink_mutex);
        sink = current_sink;
    }
    // Called outside the lock: a sink may take other locks (the bindings take
    // the interpreter's).
    if (sink) {
        sink(line);
    } else {
        std::cout << line << std::endl;
    }
}

}  // namespace quorvane::console
