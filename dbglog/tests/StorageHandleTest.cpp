// StorageHandle: shared ownership across threads and the two error modes of
// ReadDword.
#include "Storage.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace storage;

namespace {

std::atomic<int> g_deleted{0};

struct CountedStorage : IniFileStorage {
    ~CountedStorage() override { ++g_deleted; }
};

}  // namespace

TEST(StorageHandle, CopiesOnManyThreadsKeepTheCountAndDeleteOnce) {
    g_deleted = 0;
    {
        StorageHandle shared(ErrorMode::Throwing, std::make_unique<CountedStorage>());
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([shared, &go] {
                while (!go) std::this_thread::yield();
                for (int i = 0; i < 20000; ++i) {
                    StorageHandle a = shared;
                    StorageHandle b;
                    b = a;
                    StorageHandle c(std::move(b));
                    c = std::move(a);
                    const StorageHandle& alias = c;
                    c = alias;
                }
            });
        }
        EXPECT_EQ(shared.UseCount(), 5);
        go = true;
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(shared.UseCount(), 1);
        EXPECT_EQ(shared.Mode(), ErrorMode::Throwing);
        EXPECT_EQ(g_deleted, 0);
    }
    EXPECT_EQ(g_deleted, 1);

    // The last handle may go on another thread.
    g_deleted = 0;
    StorageHandle first(ErrorMode::Quiet, std::make_unique<CountedStorage>());
    std::thread other([copy = first]() mutable { copy.Reset(); });
    first.Reset();
    other.join();
    EXPECT_EQ(g_deleted, 1);
    EXPECT_EQ(first.UseCount(), 0);
}

TEST(StorageHandle, ReadDwordYieldsZeroOnAQuietHandleAndThrowsOnAThrowingOne) {
    testsupport::TempDir dir;
    const std::wstring path = dir / L"c.ini";
    testsupport::WriteFileBytes(path, "[S]\r\nv=0x10\r\nbad=x\r\n");

    const StorageHandle quiet = IniFileStorage::MakeIniStorage(path, L"S");
    ASSERT_TRUE(quiet);
    EXPECT_EQ(quiet.Mode(), ErrorMode::Quiet);
    EXPECT_EQ(ReadDword(quiet, L"v"), 16u);
    EXPECT_EQ(ReadDword(quiet, L"missing"), 0u);
    EXPECT_EQ(ReadDword(quiet, L"bad"), 0u);
    const StorageHandle none = IniFileStorage::MakeIniStorage(path, L"Absent");
    EXPECT_FALSE(none);
    EXPECT_EQ(none.Mode(), ErrorMode::Quiet);
    EXPECT_EQ(ReadDword(none, L"v"), 0u);

    auto opened = std::make_unique<IniFileStorage>();
    ASSERT_TRUE(opened->Open(path, L"S"));
    StorageHandle loud(ErrorMode::Throwing, std::move(opened));
    EXPECT_EQ(ReadDword(loud, L"v"), 16u);
    const std::wregex message(LR"(dbglog\\Storage\.h\(\d+\) : StorageException : Read\n)");
    const auto expectThrow = [&](const StorageHandle& handle, const wchar_t* key) {
        try {
            ReadDword(handle, key);
            ADD_FAILURE() << "no exception for " << testsupport::Narrow(key);
        } catch (const StorageException& e) {
            EXPECT_TRUE(std::regex_match(e.Message(), message)) << testsupport::Narrow(e.Message());
        }
    };
    expectThrow(loud, L"missing");
    expectThrow(loud, L"bad");
    loud->Close();
    expectThrow(loud, L"v");
    expectThrow(StorageHandle(ErrorMode::Throwing, nullptr), L"v");
}
