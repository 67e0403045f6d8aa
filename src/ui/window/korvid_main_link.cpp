// The network tempo session's controls: a check box and the number of peers, in the title row
// of the General Settings box, where they move nothing else.
#include "ui/window/korvid_main.h"

#include "app/sync_control.h"

void TKorvidMain::BuildLinkControls() {
    LinkCheckBox = new QCheckBox(QStringLiteral("Link"), GeneralOptionBox);
    LinkCheckBox->setObjectName(QStringLiteral("LinkCheckBox"));
    LinkCheckBox->setGeometry(132, 0, 50, 16);
    LinkCheckBox->setToolTip(
        QStringLiteral("Share tempo, beat and start/stop with Link peers on the network (Ctrl+L)"));
    LinkCheckBox->setFocusPolicy(Qt::NoFocus);  // Space and Enter stay with the clock
    LinkPeersLabel = new QLabel(GeneralOptionBox);
    LinkPeersLabel->setObjectName(QStringLiteral("LinkPeersLabel"));
    LinkPeersLabel->setGeometry(184, 0, 60, 16);
    connect(LinkCheckBox, &QCheckBox::clicked, this,
            [this](bool checked) { model_->Sync().SetLinkEnabled(checked); });
}

void TKorvidMain::PumpLink() {
    SyncControl& sync = model_->Sync();
    sync.Pump();
    const bool on = sync.LinkEnabled();
    if (LinkCheckBox->isChecked() != on) {
        const QSignalBlocker quiet(LinkCheckBox);
        LinkCheckBox->setChecked(on);
    }
    const size_t peers = on ? sync.Peers() : static_cast<size_t>(-1);
    if (peers == shownPeers_) return;
    shownPeers_ = peers;
    if (!on)
        LinkPeersLabel->clear();
    else
        LinkPeersLabel->setText(peers == 1 ? QStringLiteral("1 peer")
                                           : QStringLiteral("%1 peers").arg(peers));
}
