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

    JackTransportBox = new QComboBox(GeneralOptionBox);
    JackTransportBox->setObjectName(QStringLiteral("JackTransportBox"));
    JackTransportBox->setAccessibleName(QStringLiteral("JACK transport"));
    // In the order of AppSettings::TransportMode.
    JackTransportBox->addItems({QStringLiteral("JACK: off"), QStringLiteral("JACK: follow"),
                                QStringLiteral("JACK: lead")});
    JackTransportBox->setGeometry(129, 20, 82, 21);
    JackTransportBox->setToolTip(QStringLiteral(
        "JACK transport: follow the timebase master (start, stop, tempo and beats), or lead it "
        "as the timebase master"));
    JackTransportBox->setFocusPolicy(Qt::NoFocus);  // Space and Enter stay with the clock
    connect(JackTransportBox, QOverload<int>::of(&QComboBox::activated), this,
            [this](int index) { model_->Sync().SetTransportMode(index); });
}

void TKorvidMain::PumpLink() {
    SyncControl& sync = model_->Sync();
    sync.Pump();
    const bool on = sync.LinkEnabled();
    if (LinkCheckBox->isChecked() != on) {
        const QSignalBlocker quiet(LinkCheckBox);
        LinkCheckBox->setChecked(on);
    }
    // A refused choice, or one made elsewhere, shows the mode in force.
    if (JackTransportBox->currentIndex() != sync.TransportMode()) {
        const QSignalBlocker quiet(JackTransportBox);
        JackTransportBox->setCurrentIndex(sync.TransportMode());
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
