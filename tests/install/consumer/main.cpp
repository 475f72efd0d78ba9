// A companion program built outside the tree against the installed core: it must find the
// headers, both archives and their dependencies, and give the core's answers.
#include <iostream>

#include "quillbeam/session/format.hpp"
#include "quillbeam/session/validation.hpp"
#include "quillbeam/wire/host_message.hpp"

int main() {
  quillbeam::SessionDraft draft;
  draft.goal = "Write";
  draft.durationMin = 25;
  draft.anchors = {"wikipedia.org"};
  const auto problem = quillbeam::Validation::problem(draft);
  std::cout << quillbeam::Format::short_(5400) << ' ' << (problem ? *problem : "ready") << '\n';
  return 0;
}
