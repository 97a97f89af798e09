#include "ui_support.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>

#include "common/serial_list.h"
#include "common/settings_registry.h"

namespace applet_test {
namespace {

int g_missed = 0;
constexpr int kScriptTickMs = 10;
const QString kScriptTimerName = QStringLiteral("modalScriptTimer");

}  // namespace

std::vector<std::pair<std::string, TestFactory>>& Tests() {
  static std::vector<std::pair<std::string, TestFactory>> tests;
  return tests;
}

void ModalScript::When(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action,
                       int timeout_ms) {
  auto* timer = new QTimer(qApp);
  timer->setObjectName(kScriptTimerName);
  auto waited = std::make_shared<int>(0);
  timer->setInterval(kScriptTickMs);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, waited, match, action, timeout_ms] {
    *waited += kScriptTickMs;
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal->isVisible() && match(modal)) {
      timer->stop();
      timer->deleteLater();
      action(modal);
      return;
    }
    if (*waited > timeout_ms) {
      ++g_missed;
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
}

void ModalScript::AnswerMessage(QMessageBox::StandardButton answer, std::vector<SeenMessage>* seen, int count) {
  When([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
       [answer, seen, count](QWidget* w) {
         auto* box = qobject_cast<QMessageBox*>(w);
         if (seen) seen->push_back({box->windowTitle(), box->text(), box->icon()});
         // The next box can only come after this one is closed.
         if (count > 1) AnswerMessage(answer, seen, count - 1);
         QAbstractButton* button = box->button(answer);
         if (button != nullptr)
           button->click();
         else
           box->done(answer);
       });
}

void ModalScript::WhenNamed(const QString& object_name, std::function<void(QWidget*)> action) {
  When([object_name](QWidget* w) { return w->objectName() == object_name; }, std::move(action));
}

int ModalScript::Missed() { return g_missed; }

void ModalScript::CancelWaiting() {
  for (QTimer* timer : qApp->findChildren<QTimer*>(kScriptTimerName, Qt::FindDirectChildrenOnly)) {
    timer->stop();
    timer->deleteLater();
    timer->setObjectName(QString());
  }
}
void ModalScript::ResetMissed() { g_missed = 0; }

QString FreshHomeTest::HomePath() const { return m_home ? m_home->Path() : QString(); }

void FreshHomeTest::init() {
  m_home = std::make_unique<ScopedHome>();
  ModalScript::ResetMissed();
}

void FreshHomeTest::cleanup() {
  // The home goes before the check: one left behind by a failed check would
  // restore its QUILLPOST_HOME over the next test function's own.
  const int missed = ModalScript::Missed();
  m_home.reset();
  QCOMPARE(missed, 0);
}

QWidget* Child(QObject* root, const char* name) {
  auto* child = root->findChild<QWidget*>(QString::fromLatin1(name));
  if (child == nullptr) qFatal("no control named %s", name);
  return child;
}

void TypeInto(QObject* root, const char* name, const QString& text) {
  auto* edit = Child<QLineEdit>(root, name);
  edit->selectAll();
  edit->del();
  QTest::keyClicks(edit, text);
}

void ChooseFolder(QFileDialog* picker, const QString& folder) {
  // The typed path is used as it is, without waiting for the picker's
  // folder listing, which fills in the background.
  picker->setDirectory(folder);
  auto* name = picker->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (name == nullptr) qFatal("the folder picker has no name field");
  name->setText(folder);
  static_cast<QDialog*>(picker)->accept();  // QFileDialog checks the choice first
}

void FillDialog(const QString& object_name, const std::vector<std::pair<const char*, QString>>& fields, bool ok) {
  ModalScript::WhenNamed(object_name, [fields, ok](QWidget* dialog) {
    for (const auto& [name, text] : fields) TypeInto(dialog, name, text);
    Click(dialog, ok ? "okButton" : "cancelButton");
  });
}

QStringList RowTexts(QObject* root, const char* list_name) {
  auto* list = Child<QTreeWidget>(root, list_name);
  QStringList rows;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QStringList columns;
    for (int c = 0; c < list->columnCount(); ++c) columns << list->topLevelItem(i)->text(c);
    rows << columns.join(QLatin1Char('|'));
  }
  return rows;
}

void SelectListRow(QObject* root, const char* list_name, int row) {
  auto* list = Child<QTreeWidget>(root, list_name);
  list->clearSelection();
  list->setCurrentItem(list->topLevelItem(row));
}

QStringList StoredTexts(const char* section, const char* value) {
  std::vector<std::uint8_t> data;
  std::vector<std::string> texts;
  QStringList result;
  if (!ReadRegBinary(section, value, data) || !serial_list::ReadTexts(data.data(), data.size(), texts)) return result;
  for (const std::string& text : texts) result << QString::fromStdString(text);
  return result;
}

void Click(QObject* root, const char* name) { Child<QAbstractButton>(root, name)->click(); }

std::vector<unsigned char> RegistryBytes(const char* section, const char* value, bool* found) {
  std::vector<std::uint8_t> data;
  const bool ok = ReadRegBinary(section, value, data);
  if (found) *found = ok;
  return std::vector<unsigned char>(data.begin(), data.end());
}

QString BuiltProgram(const QString& name) {
  QString folder = qEnvironmentVariable("QP_BIN_DIR");
  if (folder.isEmpty()) folder = QStringLiteral(QP_BIN_DIR);
  const QString path = QDir(folder).filePath(name);
  return QFileInfo(path).isExecutable() || QFileInfo(path).isFile() ? path : QString();
}

int RegisterTest(const char* name, TestFactory factory) {
  Tests().emplace_back(name, std::move(factory));
  return static_cast<int>(Tests().size());
}

}  // namespace applet_test

// Runs the registered test classes in turn (or only those named on the
// command line, e.g. "test_applet_ui GeneralPageTest"); the other arguments
// go to QTest. The result is the number of classes that failed.
int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::vector<std::string> selected;
  std::vector<char*> passed = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    bool is_class = false;
    for (const auto& entry : applet_test::Tests()) is_class = is_class || entry.first == argv[i];
    if (is_class)
      selected.emplace_back(argv[i]);
    else
      passed.push_back(argv[i]);
  }
  int failed = 0;
  for (const auto& [name, factory] : applet_test::Tests()) {
    if (!selected.empty() && std::find(selected.begin(), selected.end(), name) == selected.end()) continue;
    std::unique_ptr<QObject> test = factory();
    if (QTest::qExec(test.get(), static_cast<int>(passed.size()), passed.data()) != 0) ++failed;
  }
  return failed;
}
