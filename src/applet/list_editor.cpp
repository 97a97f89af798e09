#include "applet/list_editor.h"

#include <QPushButton>
#include <QTreeWidget>
#include <utility>

#include "applet/applet_ui.h"
#include "applet/property_page.h"

namespace applet {

CListEditor::CListEditor(CStoredList& list, QTreeWidget* view, EntryDialog dialog, QString add_caption,
                         QString edit_caption, QObject* parent)
    : QObject(parent),
      m_list(list),
      m_pView(view),
      m_dialog(std::move(dialog)),
      m_strAddCaption(std::move(add_caption)),
      m_strEditCaption(std::move(edit_caption)) {}

void CListEditor::SetPage(CPropertyPage* page, std::vector<QWidget*> buttons) {
  m_pPage = page;
  m_arrButtons = std::move(buttons);
}

void CListEditor::Load() {
  m_list.Load();
  ShowRows();
  if (m_list.ReadProblem() && m_pPage != nullptr) m_pPage->ShowUnreadableList(*m_list.ReadProblem(), m_arrButtons);
}

void CListEditor::ShowRows() {
  m_pView->clear();
  for (const ListRow& row : m_list.Rows()) {
    auto* item = new QTreeWidgetItem(m_pView);
    for (std::size_t column = 0; column < row.size(); ++column)
      item->setText(static_cast<int>(column), ToQ(row[column]));
  }
  AutoSizeColumns(m_pView);
}

void CListEditor::Add() {
  const std::optional<ListRow> entered = m_dialog(m_strAddCaption, ListRow(m_list.Columns()));
  if (!entered) return;
  const std::optional<int> added = m_list.Add(*entered);
  if (!added) return;
  ShowRows();
  SelectRow(m_pView, *added);
  emit changed();
}

void CListEditor::Edit() {
  const int index = FirstSelectedRow(m_pView);
  if (index < 0) return;
  const std::optional<ListRow> entered = m_dialog(m_strEditCaption, m_list.Rows()[static_cast<std::size_t>(index)]);
  if (!entered || !m_list.Edit(index, *entered)) return;
  ShowRows();
  SelectRow(m_pView, index);
  emit changed();
}

void CListEditor::Remove() {
  const int index = FirstSelectedRow(m_pView);
  if (index < 0 || !m_list.Remove(index)) return;
  ShowRows();
  SelectRow(m_pView, 0);
  emit changed();
}

void ConnectListButtons(const ListWithButtons& parts, CListEditor* editor, CPropertyPage* page,
                        bool double_click_edits) {
  editor->SetPage(page, {parts.add, parts.edit, parts.remove});
  QObject::connect(parts.add, &QPushButton::clicked, editor, &CListEditor::Add);
  QObject::connect(parts.edit, &QPushButton::clicked, editor, &CListEditor::Edit);
  QObject::connect(parts.remove, &QPushButton::clicked, editor, &CListEditor::Remove);
  if (double_click_edits) QObject::connect(parts.list, &QTreeWidget::itemDoubleClicked, editor, &CListEditor::Edit);
  QObject::connect(editor, &CListEditor::changed, page, [page] {
    page->SetModified();
    page->ReloadService();
  });
}

}  // namespace applet
