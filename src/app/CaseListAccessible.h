// What a screen reader finds in the case list: one entry per case, named with the texts the
// entry draws, whose default action asks for the approval as a double-click on it does.
#pragma once

#include <memory>
#include <unordered_map>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>

class QListWidget;
class QListWidgetItem;
class CaseListOwner;

// Makes Qt use the interfaces below for every case list box (the list widget named
// "CasesListBox" in the case list window). Call before the first query; later calls do nothing.
void InstallCaseListAccessibility();

// The case list box: a list whose children are its entries, and nothing else.
class CaseListAccessible : public QAccessibleWidget {
 public:
  explicit CaseListAccessible(QListWidget* list);
  ~CaseListAccessible() override;

  int childCount() const override;
  QAccessibleInterface* child(int index) const override;
  int indexOfChild(const QAccessibleInterface* child) const override;
  QAccessibleInterface* childAt(int x, int y) const override;
  QAccessibleInterface* focusChild() const override;

 private:
  QListWidget* List() const;
  // Forgets the entries of rows [first, last], which the list is about to drop.
  void Drop(int first, int last);
  void DropAll();

  // The entries' interfaces, made on demand and registered with QAccessible, by item.
  mutable std::unordered_map<const QListWidgetItem*, QAccessible::Id> entries_;
  std::unique_ptr<QObject> model_watch_;  // its connections drop entries with their rows
};

// One entry: its name is what it draws, its description its position ("3 of 12").
class CaseEntryAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  CaseEntryAccessible(QListWidget* list, QListWidgetItem* item);

  bool isValid() const override;
  QObject* object() const override { return nullptr; }
  QWindow* window() const override;
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* parent() const override;
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QString text(QAccessible::Text t) const override;
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override;
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override;
  void* interface_cast(QAccessible::InterfaceType type) override;

  // The first action is the default: "Press" asks for the approval; "SetFocus" focuses.
  QStringList actionNames() const override;
  void doAction(const QString& action) override;
  QStringList keyBindingsForAction(const QString& action) const override;

  int Row() const;

 private:
  CaseListOwner* Form() const;

  QPointer<QListWidget> list_;
  QListWidgetItem* item_;  // the interface goes before its item does
};
