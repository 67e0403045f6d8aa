#include "ui/stats/statistics_form.h"

TStatisticsForm::TStatisticsForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Statistics"));
    resize(600, 400);
}
