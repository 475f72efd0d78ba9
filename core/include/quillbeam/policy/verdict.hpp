#pragma once

#include <iosfwd>
#include <optional>

#include "quillbeam/policy/shield_reason.hpp"

namespace quillbeam {

// The policy's answer for one app: shield it, for a reason, or allow it.
class Verdict {
 public:
  static constexpr Verdict shield(ShieldReason reason) { return Verdict(reason); }
  static constexpr Verdict allow() { return Verdict(std::nullopt); }

  constexpr bool isShield() const { return reason_.has_value(); }
  constexpr bool isAllow() const { return !reason_.has_value(); }
  // The reason of a shield; absent for allow.
  constexpr std::optional<ShieldReason> reason() const { return reason_; }

  friend constexpr bool operator==(Verdict, Verdict) = default;

 private:
  constexpr explicit Verdict(std::optional<ShieldReason> reason) : reason_(reason) {}
  std::optional<ShieldReason> reason_;
};

// "allow" or "shield(<reason>)".
std::ostream& operator<<(std::ostream& out, Verdict verdict);

}  // namespace quillbeam
