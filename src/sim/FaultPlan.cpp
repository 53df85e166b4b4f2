#include "sim/FaultPlan.h"

#include <cctype>

namespace {

// A frame number or count: decimal digits only, no sign, no blanks.
bool ParseNumber(const std::string& text, int minimum, int& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  value = std::stoi(text);
  return value >= minimum;
}

// Adds the numbers of "K,K,..." to out, or nothing when any of them is wrong.
bool ParseList(const std::string& text, std::set<int>& out) {
  std::set<int> numbers;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    int value = 0;
    if (!ParseNumber(text.substr(start, comma - start), 1, value)) return false;
    numbers.insert(value);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  out.insert(numbers.begin(), numbers.end());
  return true;
}

}  // namespace

bool ParseFault(const std::string& text, FaultPlan& plan, std::string& error) {
  const std::size_t equals = text.find('=');
  const std::string name = text.substr(0, equals);
  const std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
  const bool hasValue = equals != std::string::npos;
  int number = 0;
  if (name == "no-ready" && !hasValue) {
    plan.noReady = true;
    return true;
  }
  if (name == "no-baud-ack" && !hasValue) {
    plan.noBaudAck = true;
    return true;
  }
  if (name == "silent-after" && ParseNumber(value, 0, number)) {
    plan.silentAfter = number;
    return true;
  }
  if (name == "hangup-after" && ParseNumber(value, 0, number)) {
    plan.hangupAfter = number;
    return true;
  }
  if (name == "nak" && ParseList(value, plan.nak)) return true;
  if (name == "garbage" && ParseList(value, plan.garbage)) return true;
  error = "unknown fault '" + text +
          "' (silent-after=N, hangup-after=N, nak=K,K..., garbage=K,K..., no-ready, no-baud-ack)";
  return false;
}
