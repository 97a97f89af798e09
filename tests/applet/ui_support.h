// Support for the applet's QTest classes: a machine of its own per test
// (QUILLPOST_HOME), scripted answers to modal dialogs and message boxes, and
// lookup of controls by object name.
#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_home.h"

namespace applet_test {

// Points QUILLPOST_HOME at a fresh temporary folder while it lives.
class ScopedHome : public TempHome {
 public:
  ScopedHome() : TempHome("qp-test-ui-") {}
  QString Path() const { return QString::fromStdString(path()); }
};

// A message box as the user saw it.
struct SeenMessage {
  QString caption;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Acts on modal windows from inside their own event loop: each script waits
// for the first active modal window that `match` accepts, runs `action` on
// it once and ends. A script that finds nothing within its time is counted
// in Missed().
class ModalScript {
 public:
  static void When(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action,
                   int timeout_ms = 10000);
  // The next `count` message boxes, one after the other: records each and
  // presses `answer`.
  static void AnswerMessage(QMessageBox::StandardButton answer, std::vector<SeenMessage>* seen, int count = 1);
  // The next modal window with this object name.
  static void WhenNamed(const QString& object_name, std::function<void(QWidget*)> action);
  static int Missed();
  static void ResetMissed();
  // Ends the scripts still waiting, without counting them as missed: after
  // a step that must show no window, with a script ready to close one.
  static void CancelWaiting();
};

// Base of the QTest classes whose test functions each need a machine of
// their own: every test function starts on a fresh QUILLPOST_HOME and fails
// when one of its modal scripts found no window to act on. A class that
// needs more per-test set-up does it in its own test functions.
class FreshHomeTest : public QObject {
  Q_OBJECT

 protected:
  // The temporary folder of the running test function.
  QString HomePath() const;

 private slots:
  void init();
  void cleanup();

 private:
  std::unique_ptr<ScopedHome> m_home;
};

// The child with this object name; the test fails (qFatal) without one.
QWidget* Child(QObject* root, const char* name);
template <class T>
T* Child(QObject* root, const char* name) {
  T* child = qobject_cast<T*>(Child(root, name));
  if (child == nullptr) qFatal("control %s has another type", name);
  return child;
}

// Types an existing folder's full path into the folder picker and confirms
// it, as a user would.
void ChooseFolder(QFileDialog* picker, const QString& folder);

// Answers the next dialog with this object name: fills the named fields
// and presses its OK button (or Cancel when `ok` is false).
void FillDialog(const QString& object_name, const std::vector<std::pair<const char*, QString>>& fields,
                bool ok = true);

// The texts of every row of a list view, columns joined by "|".
QStringList RowTexts(QObject* root, const char* list_name);
// Selects a row of a list view as a click would.
void SelectListRow(QObject* root, const char* list_name, int row);
// The stored text list of section/value.
QStringList StoredTexts(const char* section, const char* value);

// Fills a line edit as typing would (replacing its text).
void TypeInto(QObject* root, const char* name, const QString& text);
void Click(QObject* root, const char* name);

// The registry value of section/value below the product key, as bytes;
// empty with *found false when absent.
std::vector<unsigned char> RegistryBytes(const char* section, const char* value, bool* found = nullptr);

// Path of a program in the build folder (QP_BIN_DIR), empty when missing.
QString BuiltProgram(const QString& name);

// Registers a QTest class to be run by the test program's main.
using TestFactory = std::function<std::unique_ptr<QObject>()>;
int RegisterTest(const char* name, TestFactory factory);
std::vector<std::pair<std::string, TestFactory>>& Tests();
#define QP_APPLET_TEST(Class)                                                          \
  [[maybe_unused]] static const int kRegistered##Class = ::applet_test::RegisterTest( \
      #Class, [] { return std::unique_ptr<QObject>(new Class); })

}  // namespace applet_test
