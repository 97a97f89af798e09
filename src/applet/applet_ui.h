// User-interface helpers the pages share: message boxes, the folder picker,
// the column sizer of list views, list view set-up and the integer exchange
// of number fields.
#pragma once

#include <QMessageBox>
#include <QString>
#include <climits>
#include <string>

class QDialogButtonBox;
class QGridLayout;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QWidget;

namespace applet {

// BrowseForFolder flags: only file-system folders, an edit box, the new
// dialog style. Qt's picker always behaves so; the flags document the call.
inline constexpr unsigned kBrowseFlags = 0x51;
inline constexpr const char* kBrowseFailedText = "Failed to get directory";

// A modal message box; returns the button pressed. `caption` empty means the
// applet's own caption.
QMessageBox::StandardButton ShowMessage(QWidget* owner, const QString& text, const QString& caption,
                                        QMessageBox::Icon icon,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// Shows the folder picker with the prompt and the initial folder selected;
// the chosen folder's path, or an empty text when cancelled. A choice without
// a usable path shows "Failed to get directory" and gives an empty text.
// Folders below the state root's drive folders come back in their drive
// letter form ("C:\Mailboxes"), others as native paths.
std::string BrowseForFolder(QWidget* owner, const QString& prompt, unsigned flags,
                            const std::string& initial_folder);

// The file picker of a ".." button beside a file field: as BrowseForFolder,
// with an existing file to choose, starting in the folder of `initial_file`
// with that file selected; an empty text when cancelled.
std::string BrowseForFile(QWidget* owner, const QString& prompt, const std::string& initial_file);

// A field with its label in front of it: the label in column 0 of `row`,
// the field in column 1.
QLineEdit* AddEdit(QGridLayout* grid, int row, const QString& label, const QString& name, QWidget* parent);
// Narrows a field of AddEdit to what a port number needs, left in its cell.
void MakePortField(QGridLayout* grid, int row, QLineEdit* edit);
// The narrow ".." button beside a path field, put into column 2 of `row`.
QPushButton* AddBrowseButton(QGridLayout* grid, int row, const QString& name, QWidget* parent);

// The Windows form of a native path below $QUILLPOST_HOME/drive_x/, or the
// native path unchanged.
std::string DriveFormOfPath(const std::string& native_path);

// Every column as wide as the wider of its content and its header, and at
// least 10 pixels; the last one also fills the room left in the list (see
// FillLastColumn). The pages call it after every change of their rows.
void AutoSizeColumns(QTreeWidget* list);
// Widens the last column to the list's right edge, or narrows it to what
// its content and header need, so that the list shows neither cut-off
// entries nor an empty gap. List views made by MakeListView do this again
// whenever their size changes.
void FillLastColumn(QTreeWidget* list);
inline constexpr int kMinColumnWidth = 10;
// Space kept between one column's text and the next, as the list views of
// the platform keep it.
inline constexpr int kColumnPadding = 12;

// A report-style list view with the given column headers, full-row single
// selection, left-aligned columns.
QTreeWidget* MakeListView(QWidget* parent, const QStringList& headers, const QString& object_name);
// A list view with the buttons "&Add...", "&Edit..." and "&Remove" stacked
// beside it (object names addButton, editButton, removeButton).
struct ListWithButtons {
  QWidget* box;
  QTreeWidget* list;
  QPushButton* add;
  QPushButton* edit;
  QPushButton* remove;
};
ListWithButtons MakeListWithButtons(QWidget* parent, const QStringList& headers, const QString& list_name);

// Index of the first selected row, or -1.
int FirstSelectedRow(QTreeWidget* list);
// Selects, focuses and shows the row (nothing for -1 or no such row).
void SelectRow(QTreeWidget* list, int row);

// The integer exchange of a number field: parses the text; on failure shows
// "Please enter an integer." (or, for a number outside low..high, "Please
// enter an integer between LOW and HIGH."), puts the focus into the field
// with its text selected, and returns false.
bool ExchangeInt(QLineEdit* edit, int& value, int low = INT_MIN, int high = INT_MAX);

// The buttons of a dialog's button box show their text only, whatever
// icons the desktop's style adds.
void PlainButtons(QDialogButtonBox* buttons);

QString ToQ(const std::string& text);
std::string FromQ(const QString& text);

}  // namespace applet
