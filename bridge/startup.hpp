#pragma once

namespace quillbeam::bridge {

// The whole life of the bridge process: start-up, the reader thread, the main loop.
// Returns only if the main loop stops; the process normally ends inside it, with status
// 0, once standard input has ended and the disconnection is recorded.
int run(int argc, char** argv);

}  // namespace quillbeam::bridge
