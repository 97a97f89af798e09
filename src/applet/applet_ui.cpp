#include "applet/applet_ui.h"

#include <QDialogButtonBox>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QTreeWidget>

#include <algorithm>

#include "admin/value_parse.h"
#include "applet/admin_names.h"
#include "applet/applet_resources.h"
#include "platform/paths.h"

namespace applet {

QString ToQ(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())); }

std::string FromQ(const QString& text) { return text.toLocal8Bit().toStdString(); }

QMessageBox::StandardButton ShowMessage(QWidget* owner, const QString& text, const QString& caption,
                                        QMessageBox::Icon icon, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, caption.isEmpty() ? QString::fromLatin1(kMessageCaption) : caption, text, buttons,
                  owner);
  box.setObjectName(QStringLiteral("messageBox"));
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

std::string DriveFormOfPath(const std::string& native_path) {
  const std::string prefix = platform::StateRoot() + "/drive_";
  if (native_path.size() < prefix.size() + 1 || native_path.compare(0, prefix.size(), prefix) != 0)
    return native_path;
  const char letter = native_path[prefix.size()];
  const std::string rest = native_path.substr(prefix.size() + 1);
  if (!rest.empty() && rest[0] != '/') return native_path;  // drive_cx is no drive folder
  std::string windows(1, static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
  windows += ":";
  windows += rest.empty() ? std::string("\\") : rest;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

std::string BrowseForFolder(QWidget* owner, const QString& prompt, unsigned flags,
                            const std::string& initial_folder) {
  (void)flags;  // Qt's directory picker shows only file-system folders with an edit box.
  QFileDialog picker(owner, prompt);
  picker.setObjectName(QStringLiteral("folderPicker"));
  picker.setFileMode(QFileDialog::Directory);
  picker.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (!initial_folder.empty()) {
    const QString native = ToQ(platform::MapPath(initial_folder));
    picker.setDirectory(native);
    picker.selectFile(native);
  }
  if (picker.exec() != QDialog::Accepted) return std::string();
  const QStringList chosen = picker.selectedFiles();
  const std::string path = chosen.isEmpty() ? std::string() : FromQ(chosen.front());
  if (path.empty()) {
    ShowMessage(owner, QString::fromLatin1(kBrowseFailedText), QString(), QMessageBox::Critical);
    return std::string();
  }
  return DriveFormOfPath(path);
}

std::string BrowseForFile(QWidget* owner, const QString& prompt, const std::string& initial_file) {
  QFileDialog picker(owner, prompt);
  picker.setObjectName(QStringLiteral("filePicker"));
  picker.setFileMode(QFileDialog::ExistingFile);
  picker.setOptions(QFileDialog::DontUseNativeDialog);
  if (!initial_file.empty()) {
    const QString native = ToQ(platform::MapPath(initial_file));
    picker.setDirectory(QFileInfo(native).absolutePath());
    picker.selectFile(native);
  }
  if (picker.exec() != QDialog::Accepted) return std::string();
  const QStringList chosen = picker.selectedFiles();
  const std::string path = chosen.isEmpty() ? std::string() : FromQ(chosen.front());
  if (path.empty()) return std::string();
  return DriveFormOfPath(path);
}

QLineEdit* AddEdit(QGridLayout* grid, int row, const QString& label, const QString& name, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  auto* text = new QLabel(label, parent);
  text->setBuddy(edit);
  grid->addWidget(text, row, 0);
  grid->addWidget(edit, row, 1);
  return edit;
}

void MakePortField(QGridLayout* grid, int row, QLineEdit* edit) {
  // A port needs five digits; the rest of the row is left to the others.
  constexpr int kPortFieldChars = 8;
  edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * kPortFieldChars + 12);
  grid->removeWidget(edit);
  grid->addWidget(edit, row, 1, Qt::AlignLeft);
}

QPushButton* AddBrowseButton(QGridLayout* grid, int row, const QString& name, QWidget* parent) {
  auto* button = new QPushButton(QStringLiteral(".."), parent);
  button->setObjectName(name);
  button->setFixedWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 16);
  grid->addWidget(button, row, 2);
  return button;
}

namespace {

// The width a column needs for its content and its header.
int NeededWidth(QTreeWidget* list, int column) {
  // QTreeView hides the public QAbstractItemView entry point.
  const int content = static_cast<QAbstractItemView*>(list)->sizeHintForColumn(column) + kColumnPadding;
  const int title = list->header()->sectionSizeHint(column);
  return std::max({content, title, kMinColumnWidth});
}

// Fills the last column again when the list's visible area changes size
// (first layout, a scroll bar coming or going, a resized sheet).
class LastColumnFiller : public QObject {
 public:
  explicit LastColumnFiller(QTreeWidget* list) : QObject(list), m_pList(list) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize) FillLastColumn(m_pList);
    return QObject::eventFilter(watched, event);
  }

 private:
  QTreeWidget* m_pList;
};

}  // namespace

void AutoSizeColumns(QTreeWidget* list) {
  list->setUpdatesEnabled(false);
  QHeaderView* header = list->header();
  for (int column = 0; column < header->count(); ++column) list->setColumnWidth(column, NeededWidth(list, column));
  FillLastColumn(list);
  list->setUpdatesEnabled(true);
}

void FillLastColumn(QTreeWidget* list) {
  const int last = list->header()->count() - 1;
  if (last < 0) return;
  int others = 0;
  for (int column = 0; column < last; ++column) others += list->columnWidth(column);
  const int room = list->viewport()->width() - others;
  list->setColumnWidth(last, std::max(NeededWidth(list, last), room));
}

QTreeWidget* MakeListView(QWidget* parent, const QStringList& headers, const QString& object_name) {
  auto* list = new QTreeWidget(parent);
  list->setObjectName(object_name);
  list->setColumnCount(static_cast<int>(headers.size()));
  list->setHeaderLabels(headers);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setAllColumnsShowFocus(true);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->header()->setStretchLastSection(false);
  list->header()->setSectionsMovable(false);
  list->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->viewport()->installEventFilter(new LastColumnFiller(list));
  return list;
}

ListWithButtons MakeListWithButtons(QWidget* parent, const QStringList& headers, const QString& list_name) {
  ListWithButtons parts{};
  parts.box = new QWidget(parent);
  auto* row = new QHBoxLayout(parts.box);
  row->setContentsMargins(0, 0, 0, 0);
  parts.list = MakeListView(parts.box, headers, list_name);
  row->addWidget(parts.list, 1);
  auto* buttons = new QVBoxLayout;
  const auto make = [&](const QString& text, const char* name) {
    auto* button = new QPushButton(text, parts.box);
    button->setObjectName(QString::fromLatin1(name));
    buttons->addWidget(button);
    return button;
  };
  parts.add = make(QObject::tr("&Add..."), "addButton");
  parts.edit = make(QObject::tr("&Edit..."), "editButton");
  parts.remove = make(QObject::tr("&Remove"), "removeButton");
  buttons->addStretch(1);
  row->addLayout(buttons);
  return parts;
}

void PlainButtons(QDialogButtonBox* buttons) {
  for (QAbstractButton* button : buttons->buttons()) button->setIcon(QIcon());
}

int FirstSelectedRow(QTreeWidget* list) {
  int first = -1;
  for (QTreeWidgetItem* item : list->selectedItems()) {
    const int row = list->indexOfTopLevelItem(item);
    if (row >= 0 && (first < 0 || row < first)) first = row;
  }
  return first;
}

void SelectRow(QTreeWidget* list, int row) {
  QTreeWidgetItem* item = row >= 0 ? list->topLevelItem(row) : nullptr;
  if (item == nullptr) return;
  list->clearSelection();
  list->setCurrentItem(item);
  item->setSelected(true);
  list->scrollToItem(item);
  list->setFocus();
}

bool ExchangeInt(QLineEdit* edit, int& value, int low, int high) {
  const std::optional<std::string> refusal = RefuseInt(FromQ(edit->text()), low, high, value);
  if (!refusal) return true;
  ShowMessage(edit->window(), ToQ(*refusal), QString(), QMessageBox::Warning);
  edit->setFocus();
  edit->selectAll();
  return false;
}

}  // namespace applet
