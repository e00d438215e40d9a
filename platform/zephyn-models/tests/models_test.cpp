#include "captured_messages.h"

#include <zephyn/models/activitymodel.h>
#include <zephyn/models/resourcemodel.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QStringListModel>
#include <QtCore/QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

using Zephyn::Models::ActivityModel;
using Zephyn::Models::ResourceModel;

namespace {

const char kStore[] = R"({
  "currentActivity": "work",
  "activities": [
    { "id": "home", "name": "Home", "icon": "user-home" },
    { "id": "work", "name": "Work", "icon": "folder-work" },
    { "id": "bare" }
  ],
  "resources": [
    { "uri": "file:///plans.odt", "title": "Plans", "activity": "work" },
    { "uri": "https://example.org/", "activity": "home" }
  ]
})";

class ModelsTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    void TearDown() override { ::unsetenv("ZEPHYN_ACTIVITIES_FILE"); }

    // Points the models at a store file with `content`.
    void useStore(const QByteArray &content)
    {
        const QString path = m_dir.filePath(QStringLiteral("activities.json"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();
        ::setenv("ZEPHYN_ACTIVITIES_FILE", QFile::encodeName(path).constData(), 1);
    }

    static std::vector<CapturedMessage> storeWarnings(CapturedMessages &messages)
    {
        std::vector<CapturedMessage> warnings;
        for (const CapturedMessage &m : messages.all())
            if (m.type == QtWarningMsg && m.category == "zephyn.models")
                warnings.push_back(m);
        return warnings;
    }

    QTemporaryDir m_dir;
};

QVariant cell(const QAbstractItemModel &model, int row, int role)
{
    return model.data(model.index(row, 0), role);
}

TEST_F(ModelsTest, ActivityRowsAndRoles)
{
    useStore(kStore);
    CapturedMessages messages;
    ActivityModel model;
    EXPECT_TRUE(storeWarnings(messages).empty());
    ASSERT_EQ(model.rowCount(), 3);

    struct Row
    {
        const char *id, *name, *icon, *display;
        bool current;
    };
    const Row expected[] = {
        {"home", "Home", "user-home", "Home", false},
        {"work", "Work", "folder-work", "Work", true},
        {"bare", "", "", "bare", false},
    };
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        const Row &e = expected[row];
        EXPECT_EQ(cell(model, row, ActivityModel::IdRole).toString(), e.id);
        EXPECT_EQ(cell(model, row, ActivityModel::NameRole).toString(), e.name);
        EXPECT_EQ(cell(model, row, ActivityModel::IconRole).toString(), e.icon);
        EXPECT_EQ(cell(model, row, Qt::DecorationRole).toString(), e.icon);
        EXPECT_EQ(cell(model, row, Qt::DisplayRole).toString(), e.display);
        EXPECT_EQ(cell(model, row, ActivityModel::CurrentRole), QVariant(e.current));
    }
}

TEST_F(ModelsTest, ResourceRowsAndRoles)
{
    useStore(kStore);
    ResourceModel model;
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(cell(model, 0, ResourceModel::UriRole).toString(), "file:///plans.odt");
    EXPECT_EQ(cell(model, 0, ResourceModel::TitleRole).toString(), "Plans");
    EXPECT_EQ(cell(model, 0, ResourceModel::ActivityRole).toString(), "work");
    EXPECT_EQ(cell(model, 0, Qt::DisplayRole).toString(), "Plans");
    EXPECT_EQ(cell(model, 1, Qt::DisplayRole).toString(), "https://example.org/")
        << "an untitled resource shows its URI";
    EXPECT_EQ(cell(model, 1, ResourceModel::ActivityRole).toString(), "home");
}

TEST_F(ModelsTest, RoleNamesAndHeaders)
{
    useStore(kStore);
    ActivityModel activities;
    ResourceModel resources;

    const QHash<int, QByteArray> activityRoles = activities.roleNames();
    EXPECT_EQ(activityRoles.value(ActivityModel::IdRole), "activityId");
    EXPECT_EQ(activityRoles.value(ActivityModel::NameRole), "name");
    EXPECT_EQ(activityRoles.value(ActivityModel::IconRole), "icon");
    EXPECT_EQ(activityRoles.value(ActivityModel::CurrentRole), "current");
    EXPECT_EQ(activityRoles.value(Qt::DisplayRole), "display") << "Qt's roles stay";
    const QHash<int, QByteArray> resourceRoles = resources.roleNames();
    EXPECT_EQ(resourceRoles.value(ResourceModel::UriRole), "uri");
    EXPECT_EQ(resourceRoles.value(ResourceModel::TitleRole), "title");
    EXPECT_EQ(resourceRoles.value(ResourceModel::ActivityRole), "activity");

    EXPECT_EQ(activities.headerData(0, Qt::Horizontal).toString(), "Activity");
    EXPECT_EQ(resources.headerData(0, Qt::Horizontal).toString(), "Resource");
    // Everything else is the base class's answer.
    EXPECT_EQ(activities.headerData(1, Qt::Vertical), QVariant(2));
    EXPECT_FALSE(resources.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
}

TEST_F(ModelsTest, IndexesOutsideTheListGiveNothing)
{
    useStore(kStore);
    ActivityModel model;
    QStringListModel other({QStringLiteral("a")});
    const QModelIndex row0 = model.index(0, 0);

    EXPECT_EQ(model.rowCount(row0), 0) << "rows have no children";
    EXPECT_FALSE(model.data(QModelIndex()).isValid());
    EXPECT_FALSE(model.data(model.index(3, 0)).isValid());
    EXPECT_FALSE(model.data(model.index(0, 1)).isValid());
    EXPECT_FALSE(model.data(other.index(0, 0)).isValid());
    EXPECT_FALSE(model.data(row0, Qt::UserRole + 100).isValid());
}

TEST_F(ModelsTest, UnusableStoreGivesEmptyModelsAndAWarning)
{
    struct Case
    {
        const char *name;
        const char *content; // nullptr: no file at all
    };
    const Case cases[] = {
        {"missing file", nullptr},
        {"empty file", ""},
        {"not JSON", "activities: work"},
        {"truncated", R"({"activities": [{"id": "work")"},
        {"top level is an array", R"([{"id": "work"}])"},
        {"activities not an array", R"({"activities": {"id": "work"}})"},
        {"resources not an array", R"({"activities": [], "resources": "x"})"},
        {"current activity not a string", R"({"currentActivity": 1, "activities": []})"},
        {"binary garbage", "\x89PNG\r\n\x1a\n\x00\x01"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.content) {
            useStore(c.content);
        } else {
            ::setenv("ZEPHYN_ACTIVITIES_FILE",
                     QFile::encodeName(m_dir.filePath("absent.json")).constData(), 1);
        }
        CapturedMessages messages;
        ActivityModel activities;
        ResourceModel resources;
        EXPECT_EQ(activities.rowCount(), 0);
        EXPECT_EQ(resources.rowCount(), 0);
        EXPECT_FALSE(activities.data(activities.index(0, 0)).isValid());
        EXPECT_EQ(storeWarnings(messages).size(), 2u) << "one warning per model";
    }
}

TEST_F(ModelsTest, OversizedStoreIsRefused)
{
    // /dev/zero never ends: the reader must stop at its limit instead of reading forever.
    ::setenv("ZEPHYN_ACTIVITIES_FILE", "/dev/zero", 1);
    CapturedMessages messages;
    ActivityModel model;
    EXPECT_EQ(model.rowCount(), 0);
    const auto warnings = storeWarnings(messages);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].text.contains("larger than"));
}

TEST_F(ModelsTest, BadEntriesAreSkippedWithAWarningEach)
{
    useStore(R"({
      "currentActivity": "home",
      "activities": [
        "home",
        { "name": "no id" },
        { "id": "" },
        { "id": 7 },
        { "id": "home", "name": 3 },
        { "id": "home", "name": "Home" },
        { "id": "home", "name": "Second home" }
      ],
      "resources": [
        { "uri": "file:///a", "activity": "home" },
        { "uri": "file:///b", "activity": "elsewhere" },
        { "uri": "file:///c" },
        { "title": "no uri", "activity": "home" },
        { "uri": "file:///d", "title": [], "activity": "home" },
        null
      ]
    })");
    CapturedMessages messages;
    ActivityModel activities;
    ResourceModel resources;

    ASSERT_EQ(activities.rowCount(), 1);
    EXPECT_EQ(cell(activities, 0, ActivityModel::NameRole).toString(), "Home")
        << "the first valid entry of an id wins";
    EXPECT_TRUE(cell(activities, 0, ActivityModel::CurrentRole).toBool());
    ASSERT_EQ(resources.rowCount(), 1);
    EXPECT_EQ(cell(resources, 0, ResourceModel::UriRole).toString(), "file:///a");
    // Each model reads the store: 6 bad activities and 5 bad resources, twice.
    EXPECT_EQ(storeWarnings(messages).size(), 2u * (6 + 5));
}

TEST_F(ModelsTest, UnknownCurrentActivityMarksNoneCurrent)
{
    useStore(R"({"currentActivity": "gone", "activities": [{"id": "a"}, {"id": "b"}]})");
    CapturedMessages messages;
    ActivityModel model;
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_FALSE(cell(model, 0, ActivityModel::CurrentRole).toBool());
    EXPECT_FALSE(cell(model, 1, ActivityModel::CurrentRole).toBool());
    EXPECT_EQ(storeWarnings(messages).size(), 1u);
}

TEST_F(ModelsTest, DefaultStoreLivesInTheUserDataDirectory)
{
    ::unsetenv("ZEPHYN_ACTIVITIES_FILE");
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    ::setenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path()).constData(), 1);
    ASSERT_TRUE(QDir(m_dir.path()).mkpath("zephyn"));
    QFile file(m_dir.filePath("zephyn/activities.json"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"activities": [{"id": "only"}]})");
    file.close();

    ActivityModel model;
    previous.isNull() ? ::unsetenv("XDG_DATA_HOME")
                      : ::setenv("XDG_DATA_HOME", previous.constData(), 1);
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(cell(model, 0, ActivityModel::IdRole).toString(), "only");
}

} // namespace
