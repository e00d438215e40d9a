#pragma once

#include <QtCore/qglobal.h>

#ifdef JYXCORE_BUILDING
#define JYXCORE_EXPORT Q_DECL_EXPORT
#else
#define JYXCORE_EXPORT Q_DECL_IMPORT
#endif
