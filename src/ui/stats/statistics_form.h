#pragma once

#include <QWidget>

// The tempo statistics window. Always a window of its own, also when given a parent, so it
// can sit beside the main window while the clock runs.
class TStatisticsForm : public QWidget {
    Q_OBJECT

  public:
    explicit TStatisticsForm(QWidget* parent = nullptr);
};
