#include "captured_messages.h"

#include <jyxdebug.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Writers switch areas 1..3 while readers stream into area 0, which stays on: every
// message for area 0 arrives whole and none for the switched areas is half-emitted.
TEST(JyxDebugThreads, SwitchingAreasWhileOtherThreadsStream)
{
    JyxDebug::resetAreaSettings();
    CapturedMessages messages;
    constexpr int kReaders = 3;
    constexpr int kMessagesPerReader = 200;
    std::atomic<bool> stop{false};

    std::thread writer([&stop] {
        for (int i = 0; !stop.load(); ++i)
            JyxDebug::setAreaEnabled(1 + i % 3, i % 2 == 0);
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([r] {
            for (int i = 0; i < kMessagesPerReader; ++i) {
                if (!JyxDebug::hasNullOutput(QtDebugMsg, true, 0, false))
                    jyxDebugStream(QtDebugMsg, 0, "f", r, "g") << "reader" << r << i;
                if (!JyxDebug::hasNullOutput(QtDebugMsg, true, 1 + i % 3, false))
                    jyxDebugStream(QtDebugMsg, 1 + i % 3, "f", r, "g") << "switched";
            }
        });
    }
    for (std::thread &t : readers)
        t.join();
    stop = true;
    writer.join();

    int fromAreaZero = 0;
    for (const CapturedMessage &m : messages.all()) {
        if (m.category == "jyx.area0") {
            ++fromAreaZero;
            EXPECT_TRUE(m.text.startsWith(QStringLiteral("reader "))) << m.text.toStdString();
        } else {
            EXPECT_EQ(m.text, QStringLiteral("switched"));
        }
    }
    EXPECT_EQ(fromAreaZero, kReaders * kMessagesPerReader);
}

} // namespace
