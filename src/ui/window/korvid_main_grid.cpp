// The sequencer grids of the two output ports, painted straight onto the main window to the
// right of its normal controls. What each square shows is decided by the port's VisualSeq; this
// file only paints it and turns mouse presses into step toggles.
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include "app/grid_hit.h"
#include "midiout/midi_out_port.h"
#include "ui/window/korvid_main.h"

namespace {
class QtGridPainter final : public GridPainter {
  public:
    QtGridPainter(QPainter& painter, QColor background)
        : painter_(painter), background_(background) {}
    void PaintCell(const GridCellPaint& cell) override {
        const QRect square(QPoint(cell.left, cell.top), QPoint(cell.right, cell.bottom));
        painter_.fillRect(square, cell.background ? background_ : colour(cell.fill));
        painter_.setPen(cell.background ? background_ : colour(cell.outline));
        painter_.drawRect(square.adjusted(0, 0, -1, -1));
    }

  private:
    static QColor colour(StatusColor c) { return QColor(c.r, c.g, c.b); }
    QPainter& painter_;
    QColor background_;
};

QRect GridArea(const VisualSeq& grid) {
    return QRect(grid.Left(), grid.Top(), grid.Width(), grid.Height());
}
}  // namespace

void TKorvidMain::PumpGrids() {
    for (MidiOutPort* port : {model_->OutPort1(), model_->OutPort2()})
        if (port && port->Grid().Changed()) update(GridArea(port->Grid()));
}

void TKorvidMain::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    QPainter painter(this);
    QtGridPainter cells(painter, palette().color(QPalette::Window));
    for (MidiOutPort* port : {model_->OutPort1(), model_->OutPort2()})
        if (port && event->rect().intersects(GridArea(port->Grid()))) port->Grid().Draw(cells);
}

void TKorvidMain::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    for (MidiOutPort* port : {model_->OutPort1(), model_->OutPort2()}) {
        if (!port) continue;
        VisualSeq& grid = port->Grid();
        if (const auto cell =
                HitSequencerGrid(at.x(), at.y(), grid.ColumnOrigin(), grid.RowOrigin()))
            grid.ToggleCell(cell->row, cell->column);
        else
            grid.MarkChanged();
    }
    QWidget::mousePressEvent(event);
}
