#include "platform/NotificationCenter.h"

#include <QTest>

#include <memory>
#include <string>
#include <vector>

class NotificationCenterTest : public QObject {
  Q_OBJECT

 private slots:
  void deliversToEveryObserverInRegistrationOrder() {
    NotificationCenter center;
    QObject first;
    QObject second;
    std::vector<std::string> calls;
    center.addObserver(&second, "refreshBtnMusic", [&] { calls.push_back("second"); });
    center.addObserver(&first, "refreshBtnMusic", [&] { calls.push_back("first"); });
    center.addObserver(&first, "other", [&] { calls.push_back("other"); });

    center.postNotificationName("refreshBtnMusic");
    QCOMPARE(calls, (std::vector<std::string>{"second", "first"}));
    center.postNotificationName("refreshBtnMusic");
    QCOMPARE(calls.size(), std::size_t{4});
    center.postNotificationName("nobody listens");
    center.postNotificationName("refreshbtnmusic");  // names are exact
    QCOMPARE(calls.size(), std::size_t{4});
  }

  void aDestroyedObserverIsNotCalled() {
    NotificationCenter center;
    auto doomed = std::make_unique<QObject>();
    QObject survivor;
    // The callback reaches into its observer, as the board's does: after the observer
    // is gone, a call would read freed memory.
    auto* doomedRaw = doomed.get();
    int doomedCalls = 0;
    int survivorCalls = 0;
    center.addObserver(doomedRaw, "refreshBtnMusic", [&doomedCalls, doomedRaw] {
      doomedRaw->setObjectName("still here");
      ++doomedCalls;
    });
    center.addObserver(&survivor, "refreshBtnMusic", [&] { ++survivorCalls; });
    center.postNotificationName("refreshBtnMusic");
    doomed.reset();
    center.postNotificationName("refreshBtnMusic");
    QCOMPARE(doomedCalls, 1);
    QCOMPARE(survivorCalls, 2);
  }

  void removeObserverEndsAllItsRegistrations() {
    NotificationCenter center;
    QObject observer;
    QObject other;
    int calls = 0;
    int otherCalls = 0;
    center.addObserver(&observer, "a", [&] { ++calls; });
    center.addObserver(&observer, "b", [&] { ++calls; });
    center.addObserver(&other, "a", [&] { ++otherCalls; });
    center.removeObserver(&observer);
    center.postNotificationName("a");
    center.postNotificationName("b");
    QCOMPARE(calls, 0);
    QCOMPARE(otherCalls, 1);
    center.removeObserver(&observer);  // twice is harmless
  }

  // An observer may change the centre while a posting runs: no deadlock, and one
  // removed meanwhile is not called any more.
  void observersMayChangeTheCentreWhileCalled() {
    NotificationCenter center;
    QObject remover;
    QObject removed;
    QObject poster;
    std::vector<std::string> calls;
    center.addObserver(&remover, "refresh", [&] {
      calls.push_back("remover");
      center.removeObserver(&removed);
      center.addObserver(&poster, "nested", [&] { calls.push_back("nested"); });
      center.postNotificationName("nested");
    });
    center.addObserver(&removed, "refresh", [&] { calls.push_back("removed"); });
    center.postNotificationName("refresh");
    QCOMPARE(calls, (std::vector<std::string>{"remover", "nested"}));
  }

  void observerDestroyedByAnEarlierCallbackIsSkipped() {
    NotificationCenter center;
    QObject killer;
    auto victim = std::make_unique<QObject>();
    QObject* victimRaw = victim.get();
    int victimCalls = 0;
    center.addObserver(&killer, "refresh", [&] { victim.reset(); });
    center.addObserver(victimRaw, "refresh", [&victimCalls, victimRaw] {
      victimRaw->setObjectName("touched");
      ++victimCalls;
    });
    center.postNotificationName("refresh");
    QCOMPARE(victimCalls, 0);
  }

  // What the editor posts on the default centre reaches what the board registered
  // there, and a centre of one's own is a different one.
  void theDefaultCentreIsShared() {
    QObject observer;
    int calls = 0;
    NotificationCenter::defaultCenter().addObserver(&observer, "refreshBtnMusic", [&] { ++calls; });
    NotificationCenter::defaultCenter().postNotificationName("refreshBtnMusic");
    QCOMPARE(calls, 1);
    NotificationCenter other;
    other.postNotificationName("refreshBtnMusic");
    QCOMPARE(calls, 1);
  }
};

QTEST_GUILESS_MAIN(NotificationCenterTest)
#include "NotificationCenterTest.moc"
