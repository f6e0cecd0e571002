#pragma once
// RemoteControl: turns the HTTP and WebSocket API on and off as the settings say.
// "remoteControl" 1 turns it on (absent or 0: nothing listens at all); "remotePort" is
// its port on 127.0.0.1 (default 17380); "remoteToken" is the 128-bit random token a
// client must present, made the first time the API is turned on and kept. Since the
// settings file then holds a secret, it is made readable by the user only (0600).
//
// Ownership: one per program, made next to the board's request handler, which must
// outlive it; it owns the API while that listens.
// Thread-safety: main thread only.

#include <QObject>
#include <QString>
#include <memory>

class RemoteApi;
class RequestHandler;

class RemoteControl : public QObject {
  Q_OBJECT

 public:
  static constexpr quint16 kDefaultPort = 17380;

  explicit RemoteControl(RequestHandler& handler, QObject* parent = nullptr);
  ~RemoteControl() override;

  bool isEnabled() const;  // "remoteControl" is 1
  // Stores "remoteControl" (making the token on the first enable) and applies it.
  void setEnabled(bool on);
  // Listens or stops listening as the settings say now.
  void apply();

  quint16 port() const;   // "remotePort", or the default when absent or unusable
  QString token() const;  // "" before the first enable
  QString url() const;    // http://127.0.0.1:<port>
  // Why the API does not listen although it is on, "" otherwise.
  QString problem() const { return why; }
  RemoteApi* api() const { return server.get(); }

 signals:
  // Listening started or stopped, or a problem arose.
  void stateChanged();

 private:
  QString ensureToken();

  RequestHandler& handler;
  std::unique_ptr<RemoteApi> server;
  QString why;
};
