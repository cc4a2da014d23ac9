#pragma once
// The graph's logging category, shared by the model and its view.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcGraph)
