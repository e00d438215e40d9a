#pragma once

#include <QtQml/QQmlExtensionPlugin>

// Serves the QML module with the activities models: "ResourceModel" and "ActivityModel",
// version 0.1, under whatever URI the engine imports. moc generates the entry points that
// Qt's plug-in loader looks for (qt_plugin_instance, qt_plugin_query_metadata).
class TarquellComponentDataPlugin : public QQmlExtensionPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QQmlExtensionInterface_iid)

public:
    void registerTypes(const char *uri) override;
};
