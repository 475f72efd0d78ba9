#include "app_names.hpp"

#include <algorithm>
#include <cctype>

#include "desktop/linux_app_table.hpp"
#include "quillbeam/policy/app_catalog.hpp"

namespace quillbeam::companion {
namespace {

bool sameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const KnownApp* catalogRow(std::string_view typed) {
  for (const auto* rows : {&AppCatalog::distractions(), &AppCatalog::browsers()}) {
    for (const auto& row : *rows) {
      const auto& ids = row.bundleIDs;
      if (sameLetters(row.name, typed) || std::find(ids.begin(), ids.end(), typed) != ids.end()) {
        return &row;
      }
    }
  }
  return nullptr;
}

}  // namespace

NamedApp resolveApp(std::string_view typed) {
  if (typed.empty()) return {};
  const KnownApp* row = catalogRow(typed);
  if (row == nullptr) {
    if (auto known = appForLinuxId(typed)) row = catalogRow(known->bundleID);
  }
  if (row == nullptr) {
    if (auto known = appForExecutable(typed)) row = catalogRow(known->bundleID);
  }
  if (row == nullptr) return NamedApp{std::string(typed), {std::string(typed)}};
  return NamedApp{row->name, row->bundleIDs};
}

}  // namespace quillbeam::companion
