// What registerTypes gives QML: the two model types of zephyn-models at version 0.1,
// under the URI it is called with, announced by one debug line.

#include "captured_messages.h"
#include "plugin_test_support.h"

#include <jyxdebug.h>
#include <zephyn/models/activitymodel.h>
#include <zephyn/models/resourcemodel.h>

#include <QtCore/QMetaType>
#include <QtCore/QTextStream>
#include <QtQml/QQmlListProperty>

using Zephyn::Models::ActivityModel;
using Zephyn::Models::ResourceModel;

namespace {

QByteArray documentFor(const QByteArray &importLine, const QByteArray &element)
{
    return importLine + "\n" + element + " {}\n";
}

// The element is exactly the library's class: same meta-object, no parent, and the same
// answers as an object of that class made directly.
void expectLibraryModel(QObject *object, const QAbstractListModel &reference,
                        const QMetaObject &expectedMeta)
{
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->metaObject(), &expectedMeta);
    EXPECT_EQ(object->qt_metacast(expectedMeta.className()), object);
    EXPECT_EQ(object->parent(), nullptr);

    auto *model = qobject_cast<QAbstractListModel *>(object);
    ASSERT_NE(model, nullptr);
    ASSERT_GT(reference.rowCount(), 0) << "the scratch store has rows";
    ASSERT_EQ(model->rowCount(), reference.rowCount());
    for (int row = 0; row < reference.rowCount(); ++row) {
        for (int role : reference.roleNames().keys()) {
            EXPECT_EQ(model->data(model->index(row, 0), role),
                      reference.data(reference.index(row, 0), role))
                << "row " << row << " role " << role;
        }
    }
    EXPECT_EQ(model->headerData(0, Qt::Horizontal), reference.headerData(0, Qt::Horizontal));
    EXPECT_EQ(model->roleNames(), reference.roleNames());
}

TEST(TypeRegistration, ImportingTheModuleCreatesTheLibraryModels)
{
    ScratchStore store;
    QQmlEngine engine;
    addBuildImportPath(engine);
    QString errors;

    std::unique_ptr<QObject> resources =
        createFromQml(engine, documentFor("import org.zephyn.models 0.1", "ResourceModel"),
                      &errors);
    EXPECT_TRUE(resources) << errors.toStdString();
    expectLibraryModel(resources.get(), ResourceModel(), ResourceModel::staticMetaObject);

    std::unique_ptr<QObject> activities =
        createFromQml(engine, documentFor("import org.zephyn.models 0.1", "ActivityModel"),
                      &errors);
    EXPECT_TRUE(activities) << errors.toStdString();
    expectLibraryModel(activities.get(), ActivityModel(), ActivityModel::staticMetaObject);
}

TEST(TypeRegistration, QmlCodeReadsTheModelsThroughTheirInvokables)
{
    ScratchStore store;
    QQmlEngine engine;
    addBuildImportPath(engine);
    QString errors;
    std::unique_ptr<QObject> root = createFromQml(engine, R"(
        import QtQml 2.15
        import org.zephyn.models 0.1
        QtObject {
            property ActivityModel activities: ActivityModel {}
            property ResourceModel resources: ResourceModel {}
            property int activityRows: activities.rowCount()
            property string currentName: activities.data(activities.index(1, 0),
                                                         ActivityModel.NameRole)
            property bool secondIsCurrent: activities.data(activities.index(1, 0),
                                                           ActivityModel.CurrentRole)
            property string resourceUri: resources.data(resources.index(0, 0),
                                                        ResourceModel.UriRole)
            property string header: resources.headerData(0, Qt.Horizontal, Qt.DisplayRole)
        })", &errors);
    ASSERT_TRUE(root) << errors.toStdString();
    EXPECT_EQ(root->property("activityRows").toInt(), 2);
    EXPECT_EQ(root->property("currentName").toString(), "Beta");
    EXPECT_TRUE(root->property("secondIsCurrent").toBool());
    EXPECT_EQ(root->property("resourceUri").toString(), "file:///r");
    EXPECT_EQ(root->property("header").toString(), "Resource");
}

TEST(TypeRegistration, UnreadableStoreGivesEmptyModelsInQml)
{
    QTemporaryDir dir;
    for (const QString &path : {dir.filePath("absent.json"), dir.path()}) {
        SCOPED_TRACE(path.toStdString());
        ::setenv("ZEPHYN_ACTIVITIES_FILE", QFile::encodeName(path).constData(), 1);
        CapturedMessages messages;
        QQmlEngine engine;
        addBuildImportPath(engine);
        QString errors;
        std::unique_ptr<QObject> root = createFromQml(engine, R"(
            import QtQml 2.15
            import org.zephyn.models 0.1
            QtObject {
                property ActivityModel activities: ActivityModel {}
                property ResourceModel resources: ResourceModel {}
                property int rows: activities.rowCount() + resources.rowCount()
                property var first: activities.data(activities.index(0, 0), Qt.DisplayRole)
            })", &errors);
        ::unsetenv("ZEPHYN_ACTIVITIES_FILE");
        ASSERT_TRUE(root) << errors.toStdString();
        EXPECT_EQ(root->property("rows").toInt(), 0);
        EXPECT_FALSE(root->property("first").isValid());
        int warnings = 0;
        for (const CapturedMessage &m : messages.all())
            warnings += m.type == QtWarningMsg && m.category == "zephyn.models";
        EXPECT_EQ(warnings, 2) << "one per model";
    }
}

TEST(TypeRegistration, OnlyVersion01IsServed)
{
    QQmlEngine engine;
    addBuildImportPath(engine);
    for (const char *version : {"0.2", "1.0"}) {
        for (const char *element : {"ResourceModel", "ActivityModel"}) {
            SCOPED_TRACE(std::string(version) + " " + element);
            QString errors;
            std::unique_ptr<QObject> object = createFromQml(
                engine, documentFor(QByteArray("import org.zephyn.models ") + version, element),
                &errors);
            EXPECT_FALSE(object);
            EXPECT_TRUE(errors.contains(QStringLiteral("version"))) << errors.toStdString();
        }
    }
}

TEST(TypeRegistration, AnotherUriGetsBothTypes)
{
    ScratchStore store;
    QQmlExtensionPlugin *plugin = pluginInstance();
    ASSERT_NE(plugin, nullptr);
    plugin->registerTypes("com.example.elsewhere");

    QQmlEngine engine; // no import path: the types are known without the module's files
    QString errors;
    std::unique_ptr<QObject> resources = createFromQml(
        engine, documentFor("import com.example.elsewhere 0.1", "ResourceModel"), &errors);
    EXPECT_TRUE(qobject_cast<ResourceModel *>(resources.get())) << errors.toStdString();
    std::unique_ptr<QObject> activities = createFromQml(
        engine, documentFor("import com.example.elsewhere 0.1", "ActivityModel"), &errors);
    EXPECT_TRUE(qobject_cast<ActivityModel *>(activities.get())) << errors.toStdString();

    EXPECT_FALSE(createFromQml(engine, documentFor("import com.example.elsewhere 0.2",
                                                   "ResourceModel")));
}

TEST(TypeRegistration, MetaTypesOfBothClassesAreKnown)
{
    QQmlExtensionPlugin *plugin = pluginInstance();
    ASSERT_NE(plugin, nullptr);
    plugin->registerTypes("com.example.metatypes");

    struct Case
    {
        const char *pointerName;
        const char *listName;
        const QMetaObject *meta;
    };
    const Case cases[] = {
        {"Zephyn::Models::ResourceModel*", "QQmlListProperty<Zephyn::Models::ResourceModel>",
         &ResourceModel::staticMetaObject},
        {"Zephyn::Models::ActivityModel*", "QQmlListProperty<Zephyn::Models::ActivityModel>",
         &ActivityModel::staticMetaObject},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pointerName);
        const int pointerId = QMetaType::type(c.pointerName);
        ASSERT_NE(pointerId, QMetaType::UnknownType);
        EXPECT_EQ(QMetaType::metaObjectForType(pointerId), c.meta);
        EXPECT_TRUE(QMetaType::typeFlags(pointerId) & QMetaType::PointerToQObject);

        const int listId = QMetaType::type(c.listName);
        ASSERT_NE(listId, QMetaType::UnknownType);
        EXPECT_EQ(QMetaType::sizeOf(listId), int(sizeof(QQmlListProperty<QObject>)));
        // A default-constructed value is an empty list property.
        void *empty = QMetaType::create(listId);
        ASSERT_NE(empty, nullptr);
        EXPECT_EQ(static_cast<QQmlListProperty<QObject> *>(empty)->object, nullptr);
        QMetaType::destroy(listId, empty);
    }
}

// The source line a message points at, read back from the plug-in's source.
QString sourceLine(const std::string &relativeFile, int line)
{
    const std::string prefix = "src/lib/models/";
    if (relativeFile.compare(0, prefix.size(), prefix) != 0)
        return {};
    QFile file(QStringLiteral(PLUGIN_SOURCE_DIR "/")
               + QString::fromStdString(relativeFile.substr(prefix.size())));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream in(&file);
    QString text;
    for (int i = 0; i < line && !in.atEnd(); ++i)
        text = in.readLine();
    return text;
}

class DebugLine : public ::testing::Test
{
protected:
    void TearDown() override
    {
        ::unsetenv("JYX_DEBUG_OFF");
        JyxDebug::resetAreaSettings();
    }

    static std::vector<CapturedMessage> debugLines(CapturedMessages &messages)
    {
        std::vector<CapturedMessage> lines;
        for (const CapturedMessage &m : messages.all())
            if (m.text == QStringLiteral("###########"))
                lines.push_back(m);
        return lines;
    }

    // Both types must be creatable under `uri`, whatever the debug switches say.
    static void expectBothTypesUnder(const QByteArray &uri)
    {
        ScratchStore store;
        QQmlEngine engine;
        QString errors;
        const QByteArray import = "import " + uri + " 0.1";
        EXPECT_TRUE(qobject_cast<ResourceModel *>(
            createFromQml(engine, documentFor(import, "ResourceModel"), &errors).get()))
            << errors.toStdString();
        EXPECT_TRUE(qobject_cast<ActivityModel *>(
            createFromQml(engine, documentFor(import, "ActivityModel"), &errors).get()))
            << errors.toStdString();
    }
};

TEST_F(DebugLine, OneMessagePerCallWithItsSourceContext)
{
    QQmlExtensionPlugin *plugin = pluginInstance();
    ASSERT_NE(plugin, nullptr);
    JyxDebug::resetAreaSettings();
    CapturedMessages messages;
    plugin->registerTypes("com.example.debug.on");
    EXPECT_EQ(debugLines(messages).size(), 1u);
    plugin->registerTypes("com.example.debug.on");

    const auto lines = debugLines(messages);
    ASSERT_EQ(lines.size(), 2u) << "one per call";
    for (const CapturedMessage &m : lines) {
        EXPECT_EQ(m.type, QtDebugMsg);
        EXPECT_EQ(m.category, "jyx.area0");
        EXPECT_EQ(m.file, "src/lib/models/activitiescomponentplugin.cpp");
        EXPECT_TRUE(sourceLine(m.file, m.line).contains("jyxDebugStream"))
            << "line " << m.line << " is not the debug statement";
        EXPECT_NE(m.function.find("TarquellComponentDataPlugin::registerTypes(const char*)"),
                  std::string::npos)
            << m.function;
    }
    EXPECT_EQ(messages.all().size(), 2u) << "the plug-in writes nothing else";
    expectBothTypesUnder("com.example.debug.on");
}

TEST_F(DebugLine, SilentWhenAreaZeroIsOffAndStillRegisters)
{
    QQmlExtensionPlugin *plugin = pluginInstance();
    ASSERT_NE(plugin, nullptr);
    struct Case
    {
        const char *name;
        const char *envOff; // JYX_DEBUG_OFF, or nullptr to switch area 0 off by a call
        QByteArray uri;
    };
    const Case cases[] = {
        {"switched off by a call", nullptr, "com.example.debug.call"},
        {"area 0 in the environment", "0", "com.example.debug.env"},
        {"all areas in the environment", "all", "com.example.debug.all"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.envOff) {
            ::setenv("JYX_DEBUG_OFF", c.envOff, 1);
            JyxDebug::resetAreaSettings();
        } else {
            ::unsetenv("JYX_DEBUG_OFF");
            JyxDebug::resetAreaSettings();
            JyxDebug::setAreaEnabled(0, false);
        }
        {
            CapturedMessages messages;
            plugin->registerTypes(c.uri.constData());
            EXPECT_TRUE(messages.all().empty());
        }
        expectBothTypesUnder(c.uri);
    }
}

} // namespace
