// The list part shared by the list pages: a list view showing a CStoredList,
// its Add, Edit and Remove commands, and the entry dialog they open. Every
// change is stored at once by the list; the page is then told through
// changed() (it marks itself modified and has the service reload).
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "admin/stored_list.h"
#include "applet/admin_names.h"
#include "applet/applet_ui.h"

class QTreeWidget;
class QWidget;

namespace applet {

class CPropertyPage;

class CListEditor : public QObject {
  Q_OBJECT

 public:
  // Shows the entry dialog with a caption and a row (empty for Add); the
  // entered row, or nothing when cancelled.
  using EntryDialog = std::function<std::optional<ListRow>(const QString& caption, const ListRow& row)>;

  CListEditor(CStoredList& list, QTreeWidget* view, EntryDialog dialog, QString add_caption, QString edit_caption,
              QObject* parent);

  // The page the list is on and the buttons that change the list.
  void SetPage(CPropertyPage* page, std::vector<QWidget*> buttons);
  // Loads the stored list and shows it; a list that cannot be read is shown
  // empty, its buttons disabled, with the page's message.
  void Load();
  void Add();
  void Edit();
  void Remove();

 signals:
  void changed();

 private:
  // Shows the list's rows and sizes the columns to them.
  void ShowRows();

  CStoredList& m_list;
  QTreeWidget* m_pView;
  EntryDialog m_dialog;
  QString m_strAddCaption;
  QString m_strEditCaption;
  CPropertyPage* m_pPage = nullptr;
  std::vector<QWidget*> m_arrButtons;
};

// Wires the list's buttons (and, when asked, a double-click as Edit) to the
// editor, and the editor's changes to the page's modified state. Call it
// before the editor's Load.
void ConnectListButtons(const ListWithButtons& parts, CListEditor* editor, CPropertyPage* page,
                        bool double_click_edits);

}  // namespace applet
