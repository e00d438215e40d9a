#include "captured_messages.h"

#include <jyxdebug.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Each test starts from a clean environment and no explicit switches.
class JyxDebugTest : public ::testing::Test
{
protected:
    void SetUp() override { setEnvironment(nullptr, nullptr); }
    void TearDown() override { setEnvironment(nullptr, nullptr); }

    static void setEnvironment(const char *off, const char *on)
    {
        off ? ::setenv("JYX_DEBUG_OFF", off, 1) : ::unsetenv("JYX_DEBUG_OFF");
        on ? ::setenv("JYX_DEBUG_ON", on, 1) : ::unsetenv("JYX_DEBUG_ON");
        JyxDebug::resetAreaSettings();
    }
};

struct NullOutputCase
{
    const char *name;
    const char *envOff;
    const char *envOn;
    int overrideArea; // -1: no setAreaEnabled call
    bool overrideEnabled;
    QtMsgType type;
    bool condition;
    int area;
    bool offByDefault;
    bool expectNull;
};

TEST_F(JyxDebugTest, HasNullOutputFollowsConditionDefaultsEnvironmentAndCalls)
{
    const NullOutputCase cases[] = {
        {"area on by default", nullptr, nullptr, -1, false, QtDebugMsg, true, 0, false, false},
        {"condition false", nullptr, nullptr, -1, false, QtDebugMsg, false, 0, false, true},
        {"condition false even for warnings", nullptr, nullptr, -1, false, QtWarningMsg, false,
         0, false, true},
        {"area off by default", nullptr, nullptr, -1, false, QtDebugMsg, true, 7, true, true},
        {"env switches area off", "3, 0", nullptr, -1, false, QtDebugMsg, true, 0, false, true},
        {"env off leaves other areas", "3", nullptr, -1, false, QtDebugMsg, true, 0, false,
         false},
        {"env off silences info", "0", nullptr, -1, false, QtInfoMsg, true, 0, false, true},
        {"env off never silences warnings", "0", nullptr, -1, false, QtWarningMsg, true, 0,
         false, false},
        {"env off never silences critical", "all", nullptr, -1, false, QtCriticalMsg, true, 0,
         false, false},
        {"env all", "all", nullptr, -1, false, QtDebugMsg, true, 1234, false, true},
        {"env on beats all", "all", "1234", -1, false, QtDebugMsg, true, 1234, false, false},
        {"env on enables an off-by-default area", nullptr, "7", -1, false, QtDebugMsg, true, 7,
         true, false},
        {"call switches off", nullptr, nullptr, 0, false, QtDebugMsg, true, 0, false, true},
        {"call beats env off", "0", nullptr, 0, true, QtDebugMsg, true, 0, false, false},
        {"call beats env on", nullptr, "0", 0, false, QtDebugMsg, true, 0, false, true},
        {"call on beats off by default", nullptr, nullptr, 7, true, QtDebugMsg, true, 7, true,
         false},
        {"call concerns one area only", nullptr, nullptr, 5, false, QtDebugMsg, true, 0, false,
         false},
        {"negative areas are areas too", "-2", nullptr, -1, false, QtDebugMsg, true, -2, false,
         true},
    };
    for (const NullOutputCase &c : cases) {
        SCOPED_TRACE(c.name);
        setEnvironment(c.envOff, c.envOn);
        if (c.overrideArea != -1)
            JyxDebug::setAreaEnabled(c.overrideArea, c.overrideEnabled);
        EXPECT_EQ(JyxDebug::hasNullOutput(c.type, c.condition, c.area, c.offByDefault),
                  c.expectNull);
    }
}

TEST_F(JyxDebugTest, ResetForgetsCallsAndRereadsEnvironment)
{
    JyxDebug::setAreaEnabled(0, false);
    ::setenv("JYX_DEBUG_OFF", "9", 1);
    EXPECT_FALSE(JyxDebug::hasNullOutput(QtDebugMsg, true, 9, false)) << "read only on reset";
    JyxDebug::resetAreaSettings();
    EXPECT_FALSE(JyxDebug::hasNullOutput(QtDebugMsg, true, 0, false));
    EXPECT_TRUE(JyxDebug::hasNullOutput(QtDebugMsg, true, 9, false));
}

TEST_F(JyxDebugTest, MalformedEnvironmentEntriesAreReportedAndIgnored)
{
    CapturedMessages messages;
    setEnvironment("2,bogus,,3x", "one");
    EXPECT_TRUE(JyxDebug::hasNullOutput(QtDebugMsg, true, 2, false));
    EXPECT_FALSE(JyxDebug::hasNullOutput(QtDebugMsg, true, 3, false));

    const auto all = messages.all();
    ASSERT_EQ(all.size(), 3u);
    for (const CapturedMessage &m : all)
        EXPECT_EQ(m.type, QtWarningMsg);
    EXPECT_TRUE(all[0].text.contains("JYX_DEBUG_OFF=bogus"));
    EXPECT_TRUE(all[1].text.contains("JYX_DEBUG_OFF=3x"));
    EXPECT_TRUE(all[2].text.contains("JYX_DEBUG_ON=one"));
}

TEST_F(JyxDebugTest, StreamEmitsOnceWhenLastCopyIsDestroyedWithItsContext)
{
    CapturedMessages messages;
    {
        QDebug stream = jyxDebugStream(QtDebugMsg, 42, "dir/file.cpp", 17, "void f()");
        stream << "hello" << 3;
        QDebug copy = stream;
        copy << "more";
        EXPECT_TRUE(messages.all().empty()) << "nothing before destruction";
    }
    const auto all = messages.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].type, QtDebugMsg);
    EXPECT_EQ(all[0].text, QStringLiteral("hello 3 more"));
    EXPECT_EQ(all[0].file, "dir/file.cpp");
    EXPECT_EQ(all[0].line, 17);
    EXPECT_EQ(all[0].function, "void f()");
    EXPECT_EQ(all[0].category, "jyx.area42");
}

TEST_F(JyxDebugTest, StreamKeepsTheMessageTypeAndNeverAborts)
{
    const std::pair<QtMsgType, QtMsgType> cases[] = {
        {QtDebugMsg, QtDebugMsg},       {QtInfoMsg, QtInfoMsg},
        {QtWarningMsg, QtWarningMsg},   {QtCriticalMsg, QtCriticalMsg},
        {QtFatalMsg, QtCriticalMsg},
    };
    for (const auto &[given, emitted] : cases) {
        CapturedMessages messages;
        jyxDebugStream(given, 0, nullptr, 0, nullptr) << "x";
        const auto all = messages.all();
        ASSERT_EQ(all.size(), 1u) << given;
        EXPECT_EQ(all[0].type, emitted) << given;
    }
}

TEST_F(JyxDebugTest, SilencedAreaStreamDiscardsDebugButNotWarnings)
{
    JyxDebug::setAreaEnabled(5, false);
    CapturedMessages messages;
    jyxDebugStream(QtDebugMsg, 5, "f", 1, "g") << "dropped";
    jyxDebugStream(QtInfoMsg, 5, "f", 1, "g") << "dropped";
    jyxDebugStream(QtDebugMsg, 6, "f", 1, "g") << "kept";
    jyxDebugStream(QtWarningMsg, 5, "f", 1, "g") << "warned";
    const auto all = messages.all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].text, QStringLiteral("kept"));
    EXPECT_EQ(all[1].text, QStringLiteral("warned"));
}

TEST(JyxSourceFile, CutsTheSourceDirectoryPrefix)
{
    EXPECT_STREQ(JYX_SOURCE_FILE, "platform/jyxcore/tests/jyxdebug_test.cpp");
    EXPECT_STREQ(JyxDebug::stripBuildPrefix("/abc/def", 5), "def");
    EXPECT_STREQ(JyxDebug::stripBuildPrefix("short", 5), "short");
    EXPECT_EQ(JyxDebug::stripBuildPrefix(nullptr, 5), nullptr);
}

} // namespace
