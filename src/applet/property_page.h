// The base of the sheet's pages. A page object is made with the sheet and
// reads its single values then; its controls are built when its tab is first
// shown (OnInitDialog), and only pages built so take part in Apply and OK.
//
// The sheet calls, in the manner of a property sheet:
//   OnSetActive()   each time the page becomes the shown page;
//   OnKillActive()  before another page is shown and before Apply or OK:
//                   the controls are taken into the members (UpdateData);
//                   false keeps the page shown;
//   OnApply()       for every built page on Apply and on OK; false keeps
//                   the sheet open on that page and stops the apply.
// Widgets only show and forward: each page keeps its values and rules in a
// plain object of model/.
#pragma once

#include <QString>
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

namespace applet {

class CPropertyPage : public QWidget {
  Q_OBJECT

 public:
  explicit CPropertyPage(const QString& title);

  const QString& Title() const { return m_strTitle; }
  bool IsCreated() const { return m_bCreated; }
  // Builds the controls once and shows the members in them.
  void Create();

  bool IsModified() const { return m_bModified; }
  // Marks the page changed (the sheet then enables Apply) or unchanged.
  void SetModified(bool modified = true);
  // Ends a command that stored its change at once (a list, the catch-all
  // account): the running service reloads now, so that it never differs
  // from what is stored, whatever the user does next (No, Cancel).
  void ReloadService();
  // For a list that could not be read: disables the controls that would
  // change it and, once the page is on the screen, shows `problem`.
  void ShowUnreadableList(const std::string& problem, const std::vector<QWidget*>& controls);

  virtual void OnSetActive() {}
  virtual bool OnKillActive() { return UpdateData(true); }
  // Default: OnOK(); true.
  virtual bool OnApply() { return OnOK(); }
  virtual bool OnOK() { return true; }

 signals:
  void modifiedChanged();

 protected:
  virtual void OnInitDialog() = 0;
  // For OnOK: true when a list of the page fits what the service reads;
  // otherwise shows `too_large` (the list's message) and returns false, so
  // that Apply and OK stop on the page.
  bool AcceptListSize(const std::optional<std::string>& too_large);

  // Moves values between the members and the controls: save = true takes
  // the controls into the members (false when a field is refused), save =
  // false shows the members.
  virtual bool UpdateData(bool save) {
    (void)save;
    return true;
  }

 private:
  QString m_strTitle;
  bool m_bCreated = false;
  bool m_bModified = false;
};

}  // namespace applet
