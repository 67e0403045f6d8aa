#include "support/window_rig.h"

#include <QImage>

// The sequencer grids painted on the main window and edited with the mouse.
namespace {

struct SequencerGridTest : MainWindowTest {
    void loadTracks(const std::string& tracks) {
        folder.write("outdrv/Seq.ini",
                     "[DEVICECONFIGURATION]\ndevice_tracks_enable=1\n[TRACKS]\n" + tracks);
        model().OutPort1()->ListDeviceTypes();
        window->VCLEventsTimerTimer();  // the type list reaches its box
        SelectByName(model().out1Controls.deviceType, "Seq");
        model().OutPort1()->LoadDeviceDefinition();
        ASSERT_EQ(model().OutPort1()->Grid().LoadedTracks(), 2);
        window->resize(700, 600);  // the grids lie right of the normal controls
        pump();
    }
    QColor pixel(const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); }
    // The centre of port 1's cell and a point on its outline.
    static QPoint centre(int row, int column) { return {300 + column * 12, 50 + row * 12}; }
    static QPoint edge(int row, int column) { return centre(row, column) + QPoint(-5, 0); }
};

TEST_F(SequencerGridTest, GridShowsPatternPlayingStepAndUnloadedRows) {
    open();
    openPort1();
    loadTracks("BD=1000100010001000\nSD=0000100000001000\n");
    model().StartTransport(true, false);
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(tick());  // step 1 played last
    pump();
    const QImage image = window->grab().toImage();
    const QColor red(255, 0, 0), white(255, 255, 255), yellow(255, 255, 0), grey(128, 128, 128);
    EXPECT_EQ(pixel(image, centre(0, 0).x(), centre(0, 0).y()), red);
    EXPECT_EQ(pixel(image, centre(0, 2).x(), centre(0, 2).y()), white);
    EXPECT_EQ(pixel(image, centre(1, 4).x(), centre(1, 4).y()), red);
    EXPECT_EQ(pixel(image, edge(0, 1).x(), edge(0, 1).y()), yellow);
    EXPECT_EQ(pixel(image, edge(0, 2).x(), edge(0, 2).y()), grey);
    // Rows without a track and the gaps take the window's colour.
    const QColor background = window->palette().color(QPalette::Window);
    EXPECT_EQ(pixel(image, centre(2, 0).x(), centre(2, 0).y()), background);
    EXPECT_EQ(pixel(image, edge(2, 1).x(), edge(2, 1).y()), background);
    EXPECT_EQ(pixel(image, centre(0, 0).x() + 6, centre(0, 0).y()), background);
    // Squares of 10 pixels with 2 between: a cell's outline runs from 5 left of its centre to
    // 4 right of it, and the next one's begins 3 further on.
    EXPECT_EQ(pixel(image, centre(0, 2).x() + 4, centre(0, 2).y()), grey);
    EXPECT_EQ(pixel(image, centre(0, 2).x() + 5, centre(0, 2).y()), background);
    EXPECT_EQ(pixel(image, centre(0, 2).x(), centre(0, 2).y() + 4), grey);
    EXPECT_EQ(pixel(image, centre(0, 2).x(), centre(0, 2).y() + 5), background);
    EXPECT_EQ(pixel(image, edge(0, 3).x() - 1, edge(0, 3).y()), background);
    // Port 2 has no tracks: its grid is all background.
    EXPECT_EQ(pixel(image, 300, 300), background);
}

TEST_F(SequencerGridTest, ClickedCellPlaysOnTheNextPassAndShowsRed) {
    open();
    openPort1();
    loadTracks("BD=1000000000000000\nSD=0\n");
    model().StartTransport(true, false);
    for (int i = 0; i < 96; ++i) ASSERT_TRUE(tick());
    memory->clearMessages();

    QTest::mousePress(window.get(), Qt::LeftButton, Qt::NoModifier, centre(0, 2));
    QTest::mousePress(window.get(), Qt::RightButton, Qt::NoModifier, centre(0, 0));
    EXPECT_TRUE(model().OutPort1()->Grid().Changed());
    pump();
    const QImage image = window->grab().toImage();
    EXPECT_EQ(pixel(image, centre(0, 2).x(), centre(0, 2).y()), QColor(255, 0, 0));
    EXPECT_EQ(pixel(image, centre(0, 0).x(), centre(0, 0).y()), QColor(255, 255, 255));

    for (int i = 0; i < 96; ++i) ASSERT_TRUE(tick());
    std::vector<std::string> notes;
    for (const auto& m : memory->messagesFor("synth"))
        if (m.bytes.size() == 3 && (m.bytes[0] & 0xF0) == 0x90)
            notes.push_back(std::to_string(m.bytes[1]) + "/" + std::to_string(m.bytes[2]));
    EXPECT_EQ(notes, (std::vector<std::string>{"36/127"}));  // step 0 silenced, step 2 added
}

}  // namespace
