// The 50 ms pump: applies on the UI thread what the clock thread, the MIDI input and the
// commands left in the state record. Each change counter is cleared before its data is read, so
// a change posted meanwhile shows on the next pass at the latest; widgets are touched only when
// something changed.
#include <QApplication>
#include <QFontMetrics>
#include <algorithm>

#include "app/stats_sample.h"
#include "midiout/midi_out_port.h"
#include "platform/number_text.h"
#include "ui/display/help_form.h"
#include "ui/stats/statistics_form.h"
#include "ui/window/korvid_main.h"

namespace {
const QColor kLime(0, 255, 0);

QString General(double value) {
    return QString::fromStdString(FormatGeneral(value));
}

// The status line's font: its design size, and the smallest that is still easy to read.
constexpr int kStatusPixels = 17;
constexpr int kSmallestStatusPixels = 11;
constexpr int kTrackBarLeft = 216;  // where the track bar stands before it is made

QFont ArialPixels(int pixels) {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    return font;
}
}  // namespace

void TKorvidMain::VCLEventsTimerTimer() {
    // Before the mirror: the port boxes then show the devices a new server brought.
    model_->PumpArrivals();
    MirrorModels();
    PumpGrids();
    PumpTempo();
    MainState& s = model_->state;
    if (s.StatusChanges.exchange(0) != 0) {
        const MainState::Status status = s.PendingStatus();
        ShowStatus(QString::fromStdString(status.text),
                   QColor(status.color.r, status.color.g, status.color.b),
                   QString::fromStdString(status.detail));
    }
    PumpTapDisplay();
    PumpInput();
    PumpFlash();
    PumpRunState();
    PumpLink();
    PumpStatistics();
}

void TKorvidMain::PumpStatistics() {
    if (++statsPasses_ < StatsSample::kPassesPerSample) return;
    statsPasses_ = 0;
    if (statsForm_) {
        const StatsSample sample = StatsSample::Take(
            model_->state, model_->MeasureRequested.load(std::memory_order_acquire));
        statsForm_->RecordBPMData(sample.interval, sample.mainOutput, sample.rawClockIn,
                                  sample.filteredClockIn);
    }
    // Also without a window: the input side measures the incoming clock only when asked.
    model_->MeasureRequested.store(true, std::memory_order_release);
}

void TKorvidMain::ShowStatus(const QString& text, const QColor& color, const QString& detail) {
    // Like an auto-sized label, a longer text may reach as far as the track bar. Beyond that it
    // gets a smaller font before anything is cut, and the whole text, with the detail where
    // there is one, is the line's tooltip.
    const int trackBarLeft = TempoTrackBar ? TempoTrackBar->x() : kTrackBarLeft;
    const int widest = trackBarLeft - StatusLabel->x() - 2;
    int pixels = kStatusPixels;
    while (pixels > kSmallestStatusPixels &&
           QFontMetrics(ArialPixels(pixels)).horizontalAdvance(text) > widest)
        --pixels;
    const QFont font = ArialPixels(pixels);
    const QFontMetrics metrics(font);
    const QString shown = metrics.elidedText(text, Qt::ElideRight, widest);
    StatusLabel->setFont(font);
    StatusLabel->setText(shown);
    StatusLabel->setToolTip(detail.isEmpty() ? text : detail);
    StatusLabel->resize(std::clamp(metrics.horizontalAdvance(shown) + 2, 163, widest),
                        StatusLabel->height());
    QPalette palette = StatusLabel->palette();
    palette.setColor(QPalette::WindowText, color);
    StatusLabel->setPalette(palette);
}

void TKorvidMain::PumpTempo() {
    MainState& s = model_->state;
    if (s.TempoChanges.exchange(0) == 0) return;
    const int32_t m = s.TempoMilliBPM.load();
    int32_t whole = m / 1000;
    int32_t frac = m % 1000;
    if (frac < 0) {  // floored, so that the thousandths always lie in 0..999
        whole -= 1;
        frac += 1000;
    }
    TBPMTimer& timer = model_->Timer();
    timer.SetTempo(static_cast<uint32_t>(whole * 1000 + frac));
    BPMLabel->setText(QString::number(whole));
    FitTempoLabelFont();
    // The bar is upside down: its top (Min) is the fastest tempo.
    trackBarMark_ = TempoTrackBar->maximum() + TempoTrackBar->minimum() - whole;
    TempoTrackBar->setValue(trackBarMark_);
    fractionMark_ = frac;
    // Digits the user is typing stay; the field shows the tempo again once they are confirmed.
    if (!TempoFractionalEdit->Typing()) TempoFractionalEdit->setValue(frac);
    applicationTitle_ = General(timer.Tempo() * 0.001) + " BPM";
    if (TrayIcon1) TrayIcon1->setToolTip(applicationTitle_);
    if (s.ShowTickPeriod) setWindowTitle(General(static_cast<double>(timer.Period())) + " ms");
}

void TKorvidMain::FitTempoLabelFont() {
    // Three digits fit the label at the design size; tempos of 1000 BPM and more take the
    // largest size at which their digits (the ink, not the spacing around it) still show whole.
    constexpr int kDesignPixels = 40;
    constexpr int kSmallestPixels = 10;
    QFont font = BPMLabel->font();
    const int room = BPMLabel->contentsRect().width();
    int pixels = kDesignPixels;
    for (; pixels > kSmallestPixels; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetrics(font).boundingRect(BPMLabel->text()).width() <= room) break;
    }
    if (BPMLabel->font().pixelSize() != pixels) {
        font.setPixelSize(pixels);
        BPMLabel->setFont(font);
    }
}

void TKorvidMain::PumpTapDisplay() {
    MainState& s = model_->state;
    if (s.TapChanges.exchange(0) == 0) return;
    const int32_t step = s.TapStep.load();
    if (step >= 1 && step <= 3) {
        s.PostStatus("Tap " + std::to_string(step) + " !!", StatusColors::purple);
        TapButton->setText(QStringLiteral("Tap Again"));
    } else if (step == 4) {
        TapButton->setText(QStringLiteral("Tap Here"));
        s.PostStatus("Tap 4 !!", StatusColors::purple);
        s.TapStep = 0;
    }
}

void TKorvidMain::SetBackground(const QColor& color) {
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, color);
    setPalette(palette);
    // The tempo label keeps the button face, so it stays readable on the green window.
    QPalette labelPalette = BPMLabel->palette();
    labelPalette.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
    BPMLabel->setPalette(labelPalette);
}

void TKorvidMain::PumpFlash() {
    MainState& s = model_->state;
    if (s.FlashChanges.exchange(0) == 0) return;
    const bool full = model_->settings.FULLFLASHING;
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    if (s.FlashOn) {
        if (full) SetBackground(kLime);
    } else if (full || palette().color(QPalette::Window) == kLime) {
        SetBackground(buttonFace);
    }
    // Also while the whole window flashes, where the lamp keeps its unlit picture: full
    // flashing switched on during a lit beat would otherwise leave it lit for the whole run.
    UpdateButtonImage();
}

void TKorvidMain::PumpRunState() {
    MainState& s = model_->state;
    if (s.RunStateChanges.exchange(0) == 0) return;
    const int32_t run = s.RunState;
    if (run != 0 && run != 1) return;
    // Ports change only while stopped.
    for (PortWidgets* w : {&out1_, &out2_}) {
        w->controls->port.setEnabled(run == 0);
        w->port->setEnabled(run == 0);
    }
    if (run == 0) {
        s.FlashOn = false;
        s.FlashChanges = 1;  // the next pass draws the flash as off
    }
    UpdateButtonImage();
}

void TKorvidMain::UpdateButtonImage() {
    MainState& s = model_->state;
    // While the whole window flashes, the lamp keeps its unlit picture: a run-state update that
    // happens to fall on a lit beat must not leave it bright for the rest of the run.
    const bool flash = s.FlashOn && !model_->settings.FULLFLASHING;
    const int picture = ButtonPictureIndex(s.RunState, flash, model_->settings.Flashing(),
                                           s.PortReady && !model_->OutputPortLost());
    const int icon = ButtonIconIndex(picture);
    if (picture != shownPictureIndex_) {
        MainButtonImage->setPixmap(images_.mainImage(picture));
        shownPictureIndex_ = picture;
    }
    setWindowIcon(images_.applicationIcon(icon));
    if (TrayIcon1) TrayIcon1->setIcon(QIcon(images_.taskbarImage(icon)));
}

void TKorvidMain::MirrorList(QComboBox* box, const ListModel& model, uint64_t& shown) {
    const uint64_t version = model.version();
    if (version == shown) return;
    shown = version;
    const std::vector<std::string> items = model.items();
    QStringList texts;
    for (const auto& item : items) texts << QString::fromStdString(item);
    QStringList current;
    for (int i = 0; i < box->count(); ++i) current << box->itemText(i);
    const QSignalBlocker block(box);
    if (current != texts) {
        box->clear();
        box->addItems(texts);
    }
    box->setCurrentIndex(model.index());
    box->setEnabled(model.enabled());
}

void TKorvidMain::MirrorModels() {
    for (PortWidgets* w : {&out1_, &out2_}) {
        MirrorList(w->port, w->controls->port, w->shownPort);
        MirrorList(w->deviceType, w->controls->deviceType, w->shownType);
        MirrorList(w->divider, w->controls->divider, w->shownDivider);
        if (w->controls->enable.version() != w->shownEnable) {
            w->shownEnable = w->controls->enable.version();
            const QSignalBlocker block(w->enable);
            w->enable->setChecked(w->controls->enable.checked());
        }
    }
}
