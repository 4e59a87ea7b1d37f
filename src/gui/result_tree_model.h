// The type tree and the folder tree as Qt item models over the result model: one column whose
// check boxes write to the result model's selection and read their state back from it, and the
// signals that tell the views when the checks or the whole tree changed.
#pragma once

#include <QAbstractItemModel>

#include <functional>

#include "app/result_model.h"

namespace rexmoor::gui {

Qt::CheckState QtCheckState(CheckState state);

class ResultTreeModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  explicit ResultTreeModel(ResultModel& results, QObject* parent = nullptr);

  // Runs a change of the result model's tree (new results, another filter) between the views
  // being told before and after, so that no view holds an index of a node that has gone.
  void Reset(const std::function<void()>& change = {});
  // The check boxes again from the selection: something else checked files (the other tree, the
  // list, the header box).
  void ChecksChanged();
  // The texts again (another language).
  void TextsChanged();

  int columnCount(const QModelIndex& parent = {}) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

 signals:
  // The user checked or unchecked a node.
  void checksChanged();

 protected:
  // Checking a node checks every file in it; a partial node is checked whole.
  virtual void SetChecked(const QModelIndex& index, bool checked) = 0;
  // The cached check states go: they are recounted from the selection when next shown.
  virtual void ForgetChecks() = 0;

  ResultModel& results_;

 private:
  // dataChanged for every node, one range per parent (a view takes a range of one parent's rows).
  void EmitForAll(const QList<int>& roles);
};

}  // namespace rexmoor::gui
