#include "startup.hpp"

// Started by the browser for the Quillbeam extension. Takes no options; arguments after
// the first (the extension origin, a window id) are ignored.
int main(int argc, char** argv) {
  return quillbeam::bridge::run(argc, argv);
}
