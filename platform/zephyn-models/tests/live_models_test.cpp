// The models follow their store file: rows change with the proper model signals when the
// file is written in place, replaced by a rename, or appears after the model was made.
#include "captured_messages.h"
#include "rowchange.h"

#include <zephyn/models/activitymodel.h>
#include <zephyn/models/resourcemodel.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QSaveFile>
#include <QtCore/QTemporaryDir>
#include <QtTest/QAbstractItemModelTester>
#include <QtTest/QSignalSpy>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

using Zephyn::Models::ActivityModel;
using Zephyn::Models::ResourceModel;
using Zephyn::Models::RowChange;
using Zephyn::Models::rowChange;

namespace {

TEST(RowChange, NarrowestChangeBetweenTwoLists)
{
    struct Case
    {
        QVector<int> before, after;
        RowChange::Kind kind;
        int first, last;
    };
    const Case cases[] = {
        {{1, 2, 3}, {1, 2, 3}, RowChange::None, 0, -1},
        {{}, {1, 2}, RowChange::Inserted, 0, 1},
        {{1, 2}, {1, 2, 3}, RowChange::Inserted, 2, 2},
        {{1, 3}, {1, 2, 3}, RowChange::Inserted, 1, 1},
        {{2, 3}, {1, 2, 3}, RowChange::Inserted, 0, 0},
        {{1, 2, 2}, {1, 2, 2, 2}, RowChange::Inserted, 3, 3},
        {{1, 2, 3}, {}, RowChange::Removed, 0, 2},
        {{1, 2, 3}, {1, 3}, RowChange::Removed, 1, 1},
        {{1, 2, 3, 4}, {1, 4}, RowChange::Removed, 1, 2},
        {{1, 2, 3}, {1, 9, 3}, RowChange::Changed, 1, 1},
        {{1, 2, 3}, {7, 8, 9}, RowChange::Changed, 0, 2},
        {{1, 2, 3}, {1, 8, 9, 3}, RowChange::Reset, 0, -1},
        {{1, 2, 3, 4}, {1, 9, 4}, RowChange::Reset, 0, -1},
    };
    for (const Case &c : cases) {
        const RowChange change = rowChange(c.before, c.after);
        SCOPED_TRACE(testing::Message() << c.before.size() << " -> " << c.after.size() << " rows");
        EXPECT_EQ(change.kind, c.kind);
        EXPECT_EQ(change.first, c.first);
        EXPECT_EQ(change.last, c.last);
    }
}

QByteArray store(const QByteArray &current, const QByteArray &activities,
                 const QByteArray &resources = "")
{
    return "{ \"currentActivity\": \"" + current + "\", \"activities\": [" + activities
           + "], \"resources\": [" + resources + "] }";
}

const QByteArray kHome = R"({ "id": "home", "name": "Home" })";
const QByteArray kWork = R"({ "id": "work", "name": "Work" })";
const QByteArray kTrip = R"({ "id": "trip", "name": "Trip" })";

// Runs the event loop until `done` holds; a bound only keeps a broken build from hanging.
bool waitFor(const std::function<bool()> &done)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class LiveModelsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ::setenv("ZEPHYN_ACTIVITIES_FILE", QFile::encodeName(path()).constData(), 1);
    }
    void TearDown() override { ::unsetenv("ZEPHYN_ACTIVITIES_FILE"); }

    QString path() const { return m_dir.filePath(QStringLiteral("activities.json")); }

    // Rewrites the file where it is, as a program that truncates and writes does.
    void writeInPlace(const QByteArray &content)
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    // Writes a new file and renames it over the store, as editors save.
    void replaceByRename(const QByteArray &content)
    {
        QSaveFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        ASSERT_TRUE(file.commit());
    }

    QTemporaryDir m_dir;
};

QStringList ids(const ActivityModel &model)
{
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out << model.data(model.index(row, 0), ActivityModel::IdRole).toString();
    return out;
}

TEST_F(LiveModelsTest, EachKindOfChangeGivesItsSignals)
{
    writeInPlace(store("home", kHome + "," + kWork));
    ActivityModel model;
    // Fails the test on any signal that does not match the rows (begin/end pairs, counts).
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    ASSERT_EQ(ids(model), (QStringList{"home", "work"}));

    writeInPlace(store("home", kHome + "," + kWork + "," + kTrip));
    ASSERT_TRUE(waitFor([&] { return model.rowCount() == 3; }));
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted.at(0).at(1).toInt(), 2);
    EXPECT_EQ(inserted.at(0).at(2).toInt(), 2);

    writeInPlace(store("work", kHome + "," + kWork + "," + kTrip));
    ASSERT_TRUE(waitFor([&] { return changed.count() > 0; }));
    // The current activity moved: the first two rows changed in place.
    EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 0);
    EXPECT_EQ(changed.at(0).at(1).toModelIndex().row(), 1);
    EXPECT_TRUE(model.data(model.index(1, 0), ActivityModel::CurrentRole).toBool());

    writeInPlace(store("work", kWork + "," + kTrip));
    ASSERT_TRUE(waitFor([&] { return model.rowCount() == 2; }));
    ASSERT_EQ(removed.count(), 1);
    EXPECT_EQ(removed.at(0).at(1).toInt(), 0);
    EXPECT_EQ(removed.at(0).at(2).toInt(), 0);

    writeInPlace(store("", kHome + "," + kTrip + "," + kWork));
    ASSERT_TRUE(waitFor([&] { return model.rowCount() == 3; }));
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(ids(model), (QStringList{"home", "trip", "work"}));
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(removed.count(), 1);
}

TEST_F(LiveModelsTest, FollowsAStoreReplacedByRenameAgainAndAgain)
{
    writeInPlace(store("home", kHome, R"({ "uri": "a:1", "activity": "home" })"));
    ActivityModel activities;
    ResourceModel resources;
    QAbstractItemModelTester tester(&resources, QAbstractItemModelTester::FailureReportingMode::Fatal);

    replaceByRename(store("home", kHome + "," + kWork, R"({ "uri": "a:1", "activity": "home" },
                                                          { "uri": "b:2", "activity": "work" })"));
    ASSERT_TRUE(waitFor([&] { return activities.rowCount() == 2 && resources.rowCount() == 2; }));
    EXPECT_EQ(resources.data(resources.index(1, 0), ResourceModel::UriRole).toString(), "b:2");

    // The first rename ended the watch on the old file; the new one is watched as well.
    replaceByRename(store("home", kHome));
    ASSERT_TRUE(waitFor([&] { return activities.rowCount() == 1 && resources.rowCount() == 0; }));
}

TEST_F(LiveModelsTest, StoreThatAppearsLaterFillsTheModels)
{
    CapturedMessages messages; // the missing file is warned about; keep it off the output
    ActivityModel model;
    ASSERT_EQ(model.rowCount(), 0);
    replaceByRename(store("trip", kTrip));
    ASSERT_TRUE(waitFor([&] { return model.rowCount() == 1; }));
    EXPECT_TRUE(model.data(model.index(0, 0), ActivityModel::CurrentRole).toBool());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
