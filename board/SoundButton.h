// SoundButton: one of the board's 40 sound buttons. Its text is the sound's whole
// title, drawn as typed ("R&B" shows its "&") on at most two lines that fit the
// button's current width (one when the button is too low for two), the rest elided
// with "…"; the whole title is its tooltip.
// It can show two states the host must see at a glance: the sound that is playing
// (a mark in the desktop's highlight colour, a progress bar along the bottom edge and
// the time left) and a sound whose file is missing (a greyed title, and a tooltip
// naming the file).
//
// A child of the board's window, created by the layout.
// Thread-safety: main (GUI) thread only.
#pragma once

#include <QPushButton>
#include <QString>

class SoundButton : public QPushButton {
  Q_OBJECT

 public:
  explicit SoundButton(QWidget* parent = nullptr);

  // The title as drawn now: its lines joined by "\n".
  QString displayedTitle() const;
  // `title` broken into at most `maxLines` lines no wider than `width` in `font`, the
  // last one elided with "…" when the title does not fit.
  static QString fitTitle(const QString& title, const QFont& font, int width, int maxLines = 2);

  // Where the title is drawn: inside the bevel, above the progress bar.
  QRect titleRect() const;

  // What the tooltip says: the whole title, and the missing file when there is one.
  QString toolTipText() const;

  // Marks the button as the one playing, with the position and length of the sound in
  // seconds (a length of 0: unknown, no bar). clearPlaying() removes the mark.
  void setPlaying(double position, double duration);
  void clearPlaying();
  bool isPlayingMarked() const { return _playing; }
  // 0 to 1 along the bar; the remaining time as shown ("0:07"), "" when unknown.
  double progress() const;
  QString remainingTimeText() const;

  // Marks the sound's file as missing or unreadable ("" clears the mark).
  void setMissingFile(const QString& description);
  bool isMissingFileMarked() const { return !_missingFile.isEmpty(); }

  // Outlines the button in the highlight colour while a drop would land on it.
  void setDropTarget(bool on);
  bool isDropTarget() const { return _dropTarget; }
  // Draws a dashed frame round a sound that was cut and waits to be pasted.
  void setCutMarked(bool on);
  bool isCutMarked() const { return _cut; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  int linesThatFit(const QRect& area) const;

  bool _playing = false;
  double _position = 0;
  double _duration = 0;
  QString _missingFile;
  bool _dropTarget = false;
  bool _cut = false;
};
