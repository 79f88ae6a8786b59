// SPDX-License-Identifier: MIT
// The trimlet program on Windows (run under wine in CI): it takes its
// arguments as UTF-16, so a file name outside the code page works.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

// The directory this test program runs from, where trimlet.exe is built too.
std::wstring program_dir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::wstring widen(const std::string &s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], n);
    w.resize(size_t(n - 1));
    return w;
}

// Runs trimlet.exe with a wide command line in dir; returns its exit code.
DWORD run_program(const std::wstring &dir, const std::wstring &args) {
    std::wstring line = L"\"" + program_dir() + L"trimlet.exe\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi)) {
        ADD_FAILURE() << "cannot start trimlet.exe: error " << GetLastError();
        return 999;
    }
    WaitForSingleObject(pi.hProcess, 120000);
    DWORD code = 999;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code;
}

}  // namespace

TEST(CliWindows, CropsAFileWhoseNameIsOutsideTheCodePage) {
    const tt::Pixels in = tt::gradient(30, 20);
    tt::write_png(tt::scratch("ascii.png"), in);
    const std::wstring dir = widen(tt::scratch_dir());
    const std::wstring name = L"\u00e9t\u00e9-\u5317.png", out = L"\u5317-out.png";
    ASSERT_TRUE(MoveFileW((dir + L"\\ascii.png").c_str(), (dir + L"\\" + name).c_str()));

    EXPECT_EQ(run_program(dir, L"rect 2 3 10 5 " + name + L" -o " + out + L" -j 2"), 0u);
    ASSERT_TRUE(MoveFileW((dir + L"\\" + out).c_str(), (dir + L"\\result.png").c_str()));
    EXPECT_EQ(tt::max_diff(tt::read_png(tt::scratch("result.png")), tt::crop(in, 2, 3, 10, 5)), 0);
    EXPECT_EQ(GetFileAttributesW((dir + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES, true);
}
