// The plug-in object as Qt's loader sees it: its entry points, the one guarded instance,
// its meta-object and its casts.

#include "plugin_test_support.h"

#include <QtCore/QJsonObject>
#include <QtCore/QMetaObject>
#include <QtCore/QPluginLoader>
#include <QtQml/QQmlExtensionInterface>

#include <cstring>

namespace {

TEST(PluginObject, InstanceIsKeptUntilDeletedThenMadeAnew)
{
    PluginInstanceFunction instance = pluginInstanceFunction();
    ASSERT_NE(instance, nullptr);

    QObject *first = instance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(instance(), first);
    EXPECT_EQ(first->parent(), nullptr);

    delete first;
    QObject *second = instance();
    ASSERT_NE(second, nullptr);
    // A dangling pointer would fail here (and under AddressSanitizer, loudly).
    EXPECT_STREQ(second->metaObject()->className(), "TarquellComponentDataPlugin");
    EXPECT_EQ(instance(), second);
}

TEST(PluginObject, LoaderReadsTheMetadataMocWrote)
{
    QPluginLoader loader(QStringLiteral(PLUGIN_FILE));
    const QJsonObject metaData = loader.metaData();
    EXPECT_EQ(metaData.value("IID").toString(), QStringLiteral(QQmlExtensionInterface_iid));
    EXPECT_EQ(metaData.value("className").toString(), "TarquellComponentDataPlugin");

    // The loader's instance is the same guarded object that qt_plugin_instance hands out.
    QObject *fromLoader = loader.instance();
    ASSERT_NE(fromLoader, nullptr) << loader.errorString().toStdString();
    EXPECT_EQ(fromLoader, pluginInstanceFunction()());
    EXPECT_NE(qobject_cast<QQmlExtensionInterface *>(fromLoader), nullptr);
}

TEST(PluginObject, MetaObjectNamesTheClassAndAddsNothing)
{
    QQmlExtensionPlugin *plugin = pluginInstance();
    ASSERT_NE(plugin, nullptr);
    const QMetaObject *meta = plugin->metaObject();
    const QMetaObject *super = meta->superClass();
    ASSERT_NE(super, nullptr);
    EXPECT_STREQ(meta->className(), "TarquellComponentDataPlugin");
    EXPECT_EQ(super, &QQmlExtensionPlugin::staticMetaObject);
    EXPECT_STREQ(super->className(), "QQmlExtensionPlugin");

    EXPECT_EQ(meta->methodCount(), super->methodCount());
    EXPECT_EQ(meta->propertyCount(), super->propertyCount());
    EXPECT_EQ(meta->enumeratorCount(), super->enumeratorCount());
    EXPECT_EQ(meta->classInfoCount(), super->classInfoCount());
    EXPECT_EQ(meta->constructorCount(), 0);
}

TEST(PluginObject, MetacastAnswersForItselfAndDefersToItsBase)
{
    QQmlExtensionPlugin *plugin = pluginInstance();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->qt_metacast(nullptr), nullptr);
    EXPECT_EQ(plugin->qt_metacast("TarquellComponentDataPlugin"), plugin);

    const char *const baseNames[] = {
        "QQmlExtensionPlugin", "QObject", QQmlExtensionInterface_iid,
        "tarquellcomponentdataplugin", "TarquellComponentDataPlugin2", "",
    };
    for (const char *name : baseNames) {
        SCOPED_TRACE(name);
        EXPECT_EQ(plugin->qt_metacast(name), plugin->QQmlExtensionPlugin::qt_metacast(name));
    }
    // What the base answers, so that the comparisons above compare something.
    EXPECT_EQ(plugin->qt_metacast("QQmlExtensionPlugin"), plugin);
    EXPECT_EQ(plugin->qt_metacast("QObject"), plugin);
    EXPECT_EQ(plugin->qt_metacast(QQmlExtensionInterface_iid),
              static_cast<QQmlExtensionInterface *>(plugin));
    EXPECT_EQ(plugin->qt_metacast("tarquellcomponentdataplugin"), nullptr) << "case matters";
    EXPECT_EQ(plugin->qt_metacast(""), nullptr);
}

} // namespace
