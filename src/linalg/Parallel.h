#pragma once

namespace quorvane::linalg {

/// False in a child created by fork() after the parent has used OpenMP: the
/// GNU runtime's worker pool does not survive a fork, and a team started in
/// the child waits for it forever. Every parallel region asks this first and
/// runs on the calling thread when it says no.
bool threads_usable();

}  // namespace quorvane::linalg
