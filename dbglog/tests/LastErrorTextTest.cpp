// LastErrorText, LogPrintWithLastError and TraceScope through the process's
// own log (this test binary logs every level to its NRV_TEST_LOG file).
#include "DbgLog.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

using testsupport::TestLog;

namespace {

std::wstring SystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    nrv::UniqueLocalMemory owned(buffer);
    return n != 0 ? std::wstring(buffer, n) : std::wstring();
}

void ThrowingTracedFunction() {
    DBGLOG_TRACE_FUNCTION(ThrowingTracedFunction);
    throw std::runtime_error("leaving through an exception");
}

}  // namespace

TEST(LastErrorText, ZeroAndUnknownCodesGiveTheEmptyString) {
    ::SetLastError(0);
    EXPECT_STREQ(LastErrorText(false), L"");
    ::SetLastError(0x20001234);  // customer bit set: no system or network message has it
    EXPECT_STREQ(LastErrorText(false), L"");
    EXPECT_EQ(::GetLastError(), 0x20001234u) << "the caller's code survives";
}

TEST(LastErrorText, KnownCodeGivesTheSystemTextWithoutItsLineEnd) {
    const std::wstring full = SystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(full.empty());
    ASSERT_EQ(full.back(), L'\n');
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::wstring(LastErrorText(true)), full);
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    const std::wstring cut = LastErrorText(false);
    EXPECT_EQ(cut, full.substr(0, full.rfind(L'\n')));
    EXPECT_EQ(cut.find(L'\n'), std::wstring::npos);
}

TEST(LastErrorText, EachThreadHasItsOwnBuffer) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    const wchar_t* mine = LastErrorText(false);
    const std::wstring expected = mine;
    ASSERT_FALSE(expected.empty());

    std::wstring first, last;
    std::thread thread([&] {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        first = LastErrorText(false);  // the thread's first call
        for (int i = 0; i < 100; ++i) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            last = LastErrorText(false);
        }
    });
    thread.join();
    std::wstring notFound = SystemText(ERROR_FILE_NOT_FOUND);
    notFound.resize(notFound.rfind(L'\n'));
    EXPECT_EQ(first, notFound);
    EXPECT_EQ(last, notFound);
    EXPECT_EQ(std::wstring(mine), expected)
        << "another thread's call must not overwrite this thread's text";
}

TEST(LogPrintWithLastError, AddsTheCodeAndItsTextAfterTheRecord) {
    TestLog::Mark();
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    DBGLOG_FUNCTION_TAG(Caller);
    EXPECT_GT(LOG_ERROR_WITH_LAST_ERROR(L"Error Code: 0x%x", 0x80004005), 0);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    const auto lines = TestLog::LinesSinceMark();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[ERR] (Caller): Error Code: 0x80004005"), std::string::npos)
        << lines[0];
    std::wstring text = SystemText(ERROR_FILE_NOT_FOUND);
    text.resize(text.rfind(L'\n'));
    EXPECT_NE(lines[1].find("[ERR] (Caller): Get Last Error:2 " + testsupport::Narrow(text)),
              std::string::npos)
        << lines[1];
}

TEST(LogPrint, KeepsTheCallersLastError) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    DBGLOG_FUNCTION_TAG(Caller);
    LOG_TRACE(L"a record that opens and closes the log file");
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(TraceScope, LeaveIsWrittenWhenAnExceptionPassesThrough) {
    TestLog::Mark();
    EXPECT_THROW(ThrowingTracedFunction(), std::runtime_error);
    const auto lines = TestLog::LinesSinceMark();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[TRC] (ThrowingTracedFunction): ENTER ThrowingTracedFunction"),
              std::string::npos);
    EXPECT_NE(lines[1].find("[TRC] (ThrowingTracedFunction): LEAVE ThrowingTracedFunction"),
              std::string::npos);
    EXPECT_NE(lines[0].find("LastErrorTextTest.cpp("), std::string::npos)
        << "source name after its last backslash";
}
