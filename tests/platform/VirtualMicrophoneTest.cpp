// Which of a sound server's modules are the virtual microphone's, read from the
// argument lines the server lists; and what switching on does without a server.
// (Switching on and off against real servers is tested with the board.)
#include "platform/VirtualMicrophone.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstdlib>

class VirtualMicrophoneTest : public QObject {
  Q_OBJECT

 private slots:
  void recognisesOnlyItsOwnModules_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<bool>("ours");
    QTest::newRow("our sink") << "module-null-sink"
                              << "sink_name=cueboard_output rate=48000 "
                                 "sink_properties='device.description=\"Cueboard Output\"'"
                              << true;
    QTest::newRow("our sink, name quoted") << "module-null-sink" << "sink_name=\"cueboard_output\""
                                           << true;
    QTest::newRow("our source") << "module-remap-source"
                                << "source_name=cueboard_mic master=cueboard_output.monitor" << true;
    QTest::newRow("our loopback") << "module-loopback"
                                  << "source=cueboard_output.monitor latency_msec=20 sink='speakers'"
                                  << true;
    QTest::newRow("a sink with a longer name") << "module-null-sink" << "sink_name=cueboard_output_2"
                                               << false;
    QTest::newRow("the name only in a description")
        << "module-null-sink" << "sink_name=other sink_properties='device.description=cueboard_output'"
        << false;
    QTest::newRow("a loopback into our sink") << "module-loopback"
                                              << "source=mic sink=cueboard_output" << false;
    QTest::newRow("a source on our sink's monitor, named otherwise")
        << "module-remap-source" << "source_name=mine master=cueboard_output.monitor" << false;
    QTest::newRow("our sink's name on another kind") << "module-pipe-sink"
                                                     << "sink_name=cueboard_output" << false;
    QTest::newRow("no arguments") << "module-null-sink" << "" << false;
  }

  void recognisesOnlyItsOwnModules() {
    QFETCH(QString, name);
    QFETCH(QString, argument);
    QFETCH(bool, ours);
    QCOMPARE(VirtualMicrophone::isOurModule(name.toStdString(), argument.toStdString()), ours);
  }

  void readsQuotedArguments() {
    const auto pairs = VirtualMicrophone::moduleArguments(
        "a=1  b='two words' c=\"say \\\"hi\\\"\" flag d=x\\ y");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"a", "1"}, {"b", "two words"}, {"c", "say \"hi\""}, {"flag", ""}, {"d", "x y"}};
    QCOMPARE(pairs, expected);
  }

  void withoutAServerNothingIsOnAndTheReasonIsGiven() {
    QTemporaryDir nowhere;
    qputenv("XDG_RUNTIME_DIR", nowhere.path().toUtf8());
    qputenv("PULSE_SERVER", ("unix:" + nowhere.path() + "/none").toUtf8());
    VirtualMicrophone microphone;
    std::string why;
    QVERIFY(!microphone.switchOn("", true, &why));
    QVERIFY(!microphone.isOn());
    QVERIFY2(why.find("no sound server") != std::string::npos, why.c_str());
    QCOMPARE(VirtualMicrophone::removeLeftoverModules(&why), -1);
    microphone.switchOff();  // harmless when off
    QVERIFY(!microphone.setMonitor("", true, &why));
  }

  // A socket that takes the connection and never answers: given up on, saying so.
  void aServerThatNeverAnswersIsGivenUpOn() {
    QTemporaryDir folder;
    const std::string path = folder.path().toStdString() + "/native";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    QVERIFY(::listen(listener, 4) == 0);
    qputenv("XDG_RUNTIME_DIR", folder.path().toUtf8());
    qputenv("PULSE_SERVER", QByteArray::fromStdString("unix:" + path));
    VirtualMicrophone microphone;
    std::string why;
    QVERIFY(!microphone.switchOn("", true, &why));
    QVERIFY(!microphone.isOn());
    QCOMPARE(why, std::string("no sound server answered (no answer within 3 s)"));
    ::close(listener);
  }
};

QTEST_GUILESS_MAIN(VirtualMicrophoneTest)
#include "VirtualMicrophoneTest.moc"
