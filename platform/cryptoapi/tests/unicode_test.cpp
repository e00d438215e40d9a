// UTF-16 <-> UTF-8 through WideCharToMultiByte / MultiByteToWideChar.
#include <cstring>
#include <thread>

#include "test_support.h"

namespace cryptoapi_tests {
namespace {

struct WideCase {
    std::u16string wide;
    std::string narrow;  // empty with ok == false: refused
    bool ok;
};

TEST(UnicodeTest, WideToNarrowTable) {
    const WideCase cases[] = {
        {u"", "", true},
        {u"plain", "plain", true},
        {u"caf\u00E9", "caf\xC3\xA9", true},
        {u"\u20AC", "\xE2\x82\xAC", true},
        {u"\U0001F600", "\xF0\x9F\x98\x80", true},
        {std::u16string(1, 0xD83D), "", false},             // lone high surrogate
        {std::u16string(1, 0xDE00) + u"x", "", false},      // lone low surrogate
        {std::u16string(1, 0xD83D) + u"x", "", false},      // high surrogate not followed by low
    };
    for (const auto &c : cases) {
        SetLastError(0);
        int size = WideCharToMultiByte(CP_ACP, 0, c.wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
        if (!c.ok) {
            EXPECT_EQ(size, 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
            continue;
        }
        ASSERT_EQ(size, static_cast<int>(c.narrow.size() + 1)) << c.narrow;  // the terminator counts
        std::vector<char> out(static_cast<size_t>(size), 'x');
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.wide.c_str(), -1, out.data(), size, nullptr, nullptr), size);
        EXPECT_EQ(std::string(out.data()), c.narrow);
        // And back.
        std::vector<WCHAR> back(c.wide.size() + 1);
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.narrow.c_str(), -1, back.data(), static_cast<int>(back.size())),
                  static_cast<int>(back.size()));
        EXPECT_EQ(std::u16string(back.data()), c.wide);
    }
}

TEST(UnicodeTest, BufferRulesAndExplicitLengths) {
    char out[4];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"hello", -1, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"hello", 3, out, sizeof out, nullptr, nullptr), 3);  // no terminator
    EXPECT_EQ(std::string(out, 3), "hel");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"x", 0, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WideCharToMultiByte(1252, 0, u"x", -1, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    WCHAR wide[8];
    for (const char *bad : {"\xC0\xAF", "\xE2\x82", "\xED\xA0\x80", "\xFF"}) {  // overlong, cut, surrogate, junk
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, bad, static_cast<int>(std::strlen(bad)), wide, 8), 0) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    }
}

TEST(UnicodeTest, LastErrorIsPerThread) {
    SetLastError(ERROR_MORE_DATA);
    DWORD seen = 1;
    std::thread([&seen] {
        seen = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    }).join();
    EXPECT_EQ(seen, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
}

}  // namespace
}  // namespace cryptoapi_tests
