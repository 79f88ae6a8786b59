// SPDX-License-Identifier: MIT
// GoogleTest's Notification (used by its Windows thread support) is built on
// std::mutex and std::condition_variable, which GCC 12's win32 thread model
// lacks. This stands in for it with a Win32 manual-reset event; GoogleTest
// skips its own when GTEST_HAS_NOTIFICATION_ is defined. Forced into every
// GoogleTest and test unit of MinGW builds.
#ifndef TRIMLET_GTEST_NOTIFICATION_H
#define TRIMLET_GTEST_NOTIFICATION_H

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
 public:
    Notification() : event_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { ::CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;
    void Notify() { ::SetEvent(event_); }
    void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

 private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif
