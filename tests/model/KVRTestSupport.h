#pragma once

// Helpers shared by the model tests: building named entities, reading names
// and event masks, and recording assertion reports.

#include <gtest/gtest.h>

#include <bitset>
#include <initializer_list>
#include <string>
#include <vector>

#include "KVRAssertion.h"
#include "KVRException.h"
#include "KVRWorldModel.h"

namespace kvrtest {

template <class T = KVRBasicEntity>
KVRSharedHandle<T> make(const std::wstring& name) {
  KVRSharedHandle<T> entity(new T);
  entity->setEntityName(name);
  return entity;
}

// Base names of a container of handles, in order.
template <class Container>
std::vector<std::wstring> names(const Container& entities) {
  std::vector<std::wstring> result;
  for (const auto& e : entities) result.push_back(e->getEntityName(KVRBasicEntity::BaseName));
  return result;
}

inline std::wstring fullName(const KVRSharedHandle<KVRBasicEntity>& e, wchar_t separator = L'/') {
  return e->getEntityName(KVRBasicEntity::FullName, separator);
}

inline std::wstring title(const KVRSharedHandle<KVRBasicEntity>& e) {
  return e->getEntityTitle(KVRBasicEntity::FullName, L'/').scribe(KVRLocale::global());
}

// The pending bits of an agent as a sorted list of numbers, for readable failures.
inline std::vector<int> pending(const KVRNotificationAgent& agent) {
  std::vector<int> result;
  for (int bit = 0; bit < 64; ++bit)
    if (agent.testEvent(bit)) result.push_back(bit);
  return result;
}

// Runs `call`, expects it to throw E with exactly `text`.
template <class E, class Call>
void expectThrowWithText(Call call, const std::wstring& text) {
  try {
    call();
    ADD_FAILURE() << "expected an exception";
  } catch (const E& e) {
    EXPECT_EQ(e.getMessage(), text);
  }
}

// Collects assertion reports while alive.
class ReportRecorder {
 public:
  ReportRecorder()
      : previous_(KVRSetAssertionHandler([this](const KVRAssertionReport& r) { reports.push_back(r); })) {}
  ~ReportRecorder() { KVRSetAssertionHandler(previous_); }
  std::vector<std::wstring> texts() const {
    std::vector<std::wstring> result;
    for (const auto& r : reports) result.push_back(r.text);
    return result;
  }
  std::vector<KVRAssertionReport> reports;

 private:
  KVRAssertionHandler previous_;
};

}  // namespace kvrtest
