#pragma once

#include <QtCore/qglobal.h>

#ifdef ZEPHYN_MODELS_BUILDING
#define ZEPHYN_MODELS_EXPORT Q_DECL_EXPORT
#else
#define ZEPHYN_MODELS_EXPORT Q_DECL_IMPORT
#endif
