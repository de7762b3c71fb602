#include "bindings/explorer_type.h"

#include <atomic>
#include <string_view>

#include "bindings/method_frame.h"
#include "bindings/value_classes.h"
#include "check/consistency_check.h"
#include "compare/compare.h"
#include "dominators/retained_queries.h"
#include "dominators/retained_sizes_run.h"
#include "import/import_session.h"
#include "queries/annotations.h"
#include "queries/graph_queries.h"
#include "queries/object_lookup.h"
#include "queries/type_listings.h"
#include "storage/explorer.h"
#include "subtree_sizes/post_import.h"

namespace vossick::py {

namespace {

struct ExplorerObject {
  PyObject_HEAD
  Explorer* core;
};

ExplorerObject* as_explorer(PyObject* self) { return reinterpret_cast<ExplorerObject*>(self); }

// Runs the shared frame: binds the arguments and runs `body(explorer,
// bound_arguments)`, which converts its arguments in order and returns the
// result or nullptr with an exception set. Parameters after the first
// `Required` are optional: absent, they are bound to nullptr. Access to the
// explorer is shared, and needs nothing more: it is immutable once open, and
// the caller's reference keeps it alive for the call.
template <size_t N, size_t Required = N, class Body>
PyObject* run_method(PyObject* self, const char* display_name, const char* const (&params)[N], PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  PyObject* bound[N];
  if (!bind_arguments(Signature{display_name, params, N, Required}, args, nargs, kwnames, bound)) return nullptr;
  return with_memory_errors([&] { return body(static_cast<const Explorer&>(*as_explorer(self)->core), bound); });
}

// Converts a core result with `convert`, or raises its error.
template <class T, class Convert>
PyObject* finish(Result<T>&& result, Convert&& convert) {
  if (!result.ok()) return raise_error(result.error());
  return convert(std::move(result).value());
}

PyObject* summaries_to_python(std::vector<ObjectSummary>&& summaries) { return to_python(summaries); }

// Runs core work that can run long, `work(stop)`, without the interpreter
// lock, so that other threads (a server's other requests) go on meanwhile;
// Ctrl-C reaches it through `stop`. The explorer is immutable and each query
// has its own read transaction, so releasing the lock changes no answer.
template <class Work>
auto without_interpreter_lock(Work&& work) {
  ReleasedInterpreterLock unlocked;
  return work(unlocked);
}

// ---- import ----------------------------------------------------------------

// Lists and files are iterated without running bytecode, so pending signals
// (Ctrl-C) would wait for the whole import; the loop looks for them itself.
constexpr uint64_t kLinesPerSignalCheck = 1024;

PyObject* raise_line_error(const Error& error, uint64_t line) {
  raise_error(error);
  return line == 0 ? nullptr : add_note_to_raised(input_line_note(line));
}

PyObject* import_lines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const params[] = {"lines", "estimator_precision"};
  return run_method(self, "HeapDumpExplorer.import_lines()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      int precision = 0;
                      if (!convert_precision("estimator_precision", arg[1], precision)) return nullptr;

                      // Waiting for the writer without the interpreter lock lets another
                      // thread's import, which may be inside Python code, finish and commit.
                      Result<ImportSession> begun = [&] {
                        ReleasedInterpreterLock unlocked;
                        return ImportSession::begin(explorer, ImportOrder::kSortedRuns, {}, unlocked);
                      }();
                      if (!begun.ok()) return raise_error(begun.error());
                      ImportSession& session = begun.value();

                      // Every return before the commit drops the session, which aborts it:
                      // nothing of the call lands.
                      Ref iterator(PyObject_GetIter(arg[0]));
                      if (!iterator) return nullptr;
                      uint64_t items = 0;
                      while (Ref item{PyIter_Next(iterator.get())}) {
                        ++items;
                        if (!PyBytes_Check(item.get())) {
                          raise_wrong_class(nullptr, item.get(), "bytes");
                          return add_note_to_raised(input_line_note(items));
                        }
                        char* data = nullptr;
                        Py_ssize_t size = 0;
                        if (PyBytes_AsStringAndSize(item.get(), &data, &size) < 0) return nullptr;
                        Status added = session.add_line(std::string_view(data, static_cast<size_t>(size)));
                        if (!added.ok()) return raise_line_error(added.error(), session.failed_line());
                        if (items % kLinesPerSignalCheck == 0 && PyErr_CheckSignals() < 0) return nullptr;
                      }
                      if (PyErr_Occurred()) return nullptr;

                      Status committed = [&] {
                        ReleasedInterpreterLock unlocked;
                        return session.commit(unlocked);
                      }();
                      if (!committed.ok()) return raise_line_error(committed.error(), session.failed_line());

                      // The commit rebuilt the type summaries; the pass only estimates.
                      PyObject* done = with_memory_errors([&]() -> PyObject* {
                        Status passed = [&] {
                          ReleasedInterpreterLock unlocked;
                          return run_post_import_processing(explorer, static_cast<EstimatorPrecision>(precision),
                                                            TypeSummaries::kCurrent, unlocked);
                        }();
                        if (!passed.ok()) return raise_error(passed.error());
                        Py_RETURN_NONE;
                      });
                      if (done == nullptr)
                        add_note_to_raised("the imported lines were committed; subtree sizes were not updated");
                      return done;
                    });
}

// ---- object lookup and annotations ------------------------------------------

// A method taking one object id: converts `query(explorer, id)`'s result.
template <class Query, class Convert>
PyObject* one_object_method(PyObject* self, const char* display_name, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, Query query, Convert convert) {
  static const char* const params[] = {"obj_id"};
  return run_method(self, display_name, params, args, nargs, kwnames,
                    [&](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      uint64_t id = 0;
                      if (!convert_u64("obj_id", arg[0], id)) return nullptr;
                      return finish(query(explorer, id), convert);
                    });
}

// A query by id that can run long, `kQuery(explorer, id, stop)`, as one_object_method's `query`.
template <auto kQuery>
auto unlocked_by_id(const Explorer& explorer, uint64_t id) {
  return without_interpreter_lock([&](StopCheck& stop) { return kQuery(explorer, id, stop); });
}

PyObject* get_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_object_method(self, "HeapDumpExplorer.get_object()", args, nargs, kwnames,
                           unlocked_by_id<vossick::get_object>,
                           [](std::optional<ObjectRecord>&& record) -> PyObject* {
                             if (!record) Py_RETURN_NONE;
                             return to_python(std::move(*record));
                           });
}

// A str, or None for nothing.
PyObject* optional_text_to_python(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

PyObject* get_reference_labels(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_object_method(self, "HeapDumpExplorer.get_reference_labels()", args, nargs, kwnames,
                           vossick::get_reference_labels,
                           [](std::optional<std::vector<std::optional<std::string>>>&& labels) -> PyObject* {
                             if (!labels) Py_RETURN_NONE;
                             Ref list(PyList_New(static_cast<Py_ssize_t>(labels->size())));
                             if (!list) return nullptr;
                             for (size_t i = 0; i < labels->size(); ++i) {
                               PyObject* item = optional_text_to_python((*labels)[i]);
                               if (item == nullptr) return nullptr;
                               PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
                             }
                             return list.release();
                           });
}

PyObject* get_allocation_site(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_object_method(self, "HeapDumpExplorer.get_allocation_site()", args, nargs, kwnames,
                           vossick::get_allocation_site, optional_text_to_python);
}

// A new list of `item(row)` for each row (new references), or nullptr.
template <class Rows, class Item>
PyObject* list_of(const Rows& rows, Item&& item) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    PyObject* value = item(rows[i]);
    if (value == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals value
  }
  return list.release();
}

PyObject* get_allocation_site_summaries(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const char* const params[] = {"page"};
  return run_method(
      self, "HeapDumpExplorer.get_allocation_site_summaries()", params, args, nargs, kwnames,
      [](const Explorer& explorer, PyObject** arg) -> PyObject* {
        std::optional<uint64_t> page;
        if (!convert_optional_u64("page", arg[0], page)) return nullptr;
        return finish(without_interpreter_lock([&](StopCheck& stop) {
                        return vossick::get_allocation_site_summaries(explorer, page, stop);
                      }),
                      [](std::vector<AllocationSiteSummary>&& rows) -> PyObject* {
                        return list_of(rows, [](const AllocationSiteSummary& row) -> PyObject* {
                          return Py_BuildValue("(s#KK)", row.site.data(), static_cast<Py_ssize_t>(row.site.size()),
                                               static_cast<unsigned long long>(row.count),
                                               static_cast<unsigned long long>(row.total_size));
                        });
                      });
      });
}

// ---- type listings ----------------------------------------------------------

PyObject* type_name_to_python(const Type& type) {
  std::string_view name = type.encoded();
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* type_rows_to_python(std::vector<std::pair<Type, TypeSummary>>&& rows) {
  return list_of(rows, [](const std::pair<Type, TypeSummary>& row) -> PyObject* {
    Ref text(type_name_to_python(row.first));
    Ref summary(text ? to_python(row.second) : nullptr);
    return summary ? PyTuple_Pack(2, text.get(), summary.get()) : nullptr;
  });
}

PyObject* get_type_summaries(PyObject* self, PyObject*) {
  return with_memory_errors(
      [&] { return finish(vossick::get_type_summaries(*as_explorer(self)->core), type_rows_to_python); });
}

// get_count_for_type and get_page_count_for_type: a count for one type name.
template <Result<uint64_t> (*kQuery)(const Explorer&, const Type&)>
PyObject* count_for_type(PyObject* self, const char* display_name, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const char* const params[] = {"typename"};
  return run_method(self, display_name, params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      Type type;
                      if (!convert_type("typename", arg[0], type)) return nullptr;
                      return finish(kQuery(explorer, type), PyLong_FromUnsignedLongLong);
                    });
}

PyObject* get_count_for_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return count_for_type<vossick::get_count_for_type>(self, "HeapDumpExplorer.get_count_for_type()", args, nargs,
                                                     kwnames);
}

PyObject* get_page_count_for_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return count_for_type<vossick::get_page_count_for_type>(self, "HeapDumpExplorer.get_page_count_for_type()", args,
                                                          nargs, kwnames);
}

PyObject* get_objects_by_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const params[] = {"typename", "page"};
  return run_method(self, "HeapDumpExplorer.get_objects_by_type()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      Type type;
                      std::optional<uint64_t> page;
                      if (!convert_type("typename", arg[0], type) || !convert_optional_u64("page", arg[1], page))
                        return nullptr;
                      return finish(without_interpreter_lock([&](StopCheck& stop) {
                                      return vossick::get_objects_by_type(explorer, type, page, stop);
                                    }),
                                    summaries_to_python);
                    });
}

PyObject* get_objects_by_type_ordered_by_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  static const char* const params[] = {"type", "subtree_size", "page"};
  return run_method(self, "HeapDumpExplorer.get_objects_by_type_ordered_by_size()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      Type type;
                      bool subtree_size = false;
                      std::optional<uint64_t> page;
                      if (!convert_type("type", arg[0], type) || !convert_bool("subtree_size", arg[1], subtree_size) ||
                          !convert_optional_u64("page", arg[2], page)) {
                        return nullptr;
                      }
                      return finish(without_interpreter_lock([&](StopCheck& stop) {
                                      return vossick::get_objects_by_type_ordered_by_size(explorer, type, subtree_size,
                                                                                          page, stop);
                                    }),
                                    summaries_to_python);
                    });
}

// ---- graph queries ------------------------------------------------------------

PyObject* find_path_between_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const params[] = {"start_id", "end_id", "avoiding_ids"};
  return run_method(self, "HeapDumpExplorer.find_path_between_objects()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      uint64_t start_id = 0;
                      uint64_t end_id = 0;
                      std::unordered_set<uint64_t> avoiding_ids;
                      if (!convert_u64("start_id", arg[0], start_id) || !convert_u64("end_id", arg[1], end_id) ||
                          !convert_id_set("avoiding_ids", arg[2], avoiding_ids)) {
                        return nullptr;
                      }
                      return finish(without_interpreter_lock([&](StopCheck& stop) {
                                      return vossick::find_path_between_objects(explorer, start_id, end_id,
                                                                                avoiding_ids, stop);
                                    }),
                                    [](std::optional<std::vector<ObjectSummary>>&& path) -> PyObject* {
                                      if (!path) Py_RETURN_NONE;
                                      return to_python(*path);
                                    });
                    });
}

PyObject* find_largest_common_reachable_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
  static const char* const params[] = {"obj_id1", "obj_id2"};
  return run_method(self, "HeapDumpExplorer.find_largest_common_reachable_object()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      uint64_t obj_id1 = 0;
                      uint64_t obj_id2 = 0;
                      if (!convert_u64("obj_id1", arg[0], obj_id1) || !convert_u64("obj_id2", arg[1], obj_id2))
                        return nullptr;
                      return finish(without_interpreter_lock([&](StopCheck& stop) {
                                      return vossick::find_largest_common_reachable_object(explorer, obj_id1, obj_id2,
                                                                                           stop);
                                    }),
                                    [](std::optional<uint64_t>&& id) -> PyObject* {
                                      if (!id) Py_RETURN_NONE;
                                      return PyLong_FromUnsignedLongLong(*id);
                                    });
                    });
}

// ---- comparison with a baseline ----------------------------------------------

// The core explorer of the argument `baseline`, or nullptr with the TypeError
// every argument of a wrong class raises.
const Explorer* convert_baseline(PyObject* value) {
  if (!PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(heap_dump_explorer_type()))) {
    raise_wrong_class("baseline", value, "HeapDumpExplorer");
    return nullptr;
  }
  return as_explorer(value)->core;
}

PyObject* type_comparisons_to_python(std::vector<TypeComparison>&& rows) {
  return list_of(rows, [](const TypeComparison& row) -> PyObject* {
    Ref text(type_name_to_python(row.type));
    Ref before(text ? to_python(row.baseline) : nullptr);
    Ref after(before ? to_python(row.current) : nullptr);
    return after ? PyTuple_Pack(3, text.get(), before.get(), after.get()) : nullptr;
  });
}

PyObject* growth_points_to_python(std::vector<GrowthPoint>&& points) {
  return list_of(points, [](const GrowthPoint& point) -> PyObject* {
    Ref object(to_python(point.object));
    return object ? Py_BuildValue("(OKK)", object.get(), static_cast<unsigned long long>(point.new_count),
                                  static_cast<unsigned long long>(point.new_size))
                  : nullptr;
  });
}

// The comparisons walk both dumps whole: the interpreter lock is released
// while they run (both explorers are immutable), and Ctrl-C ends them.
PyObject* compare_type_summaries(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const params[] = {"baseline"};
  return run_method(self, "HeapDumpExplorer.compare_type_summaries()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      const Explorer* baseline = convert_baseline(arg[0]);
                      if (baseline == nullptr) return nullptr;
                      auto rows = [&] {
                        ReleasedInterpreterLock unlocked;
                        return vossick::compare_type_summaries(explorer, *baseline);
                      }();
                      return finish(std::move(rows), type_comparisons_to_python);
                    });
}

PyObject* get_new_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const params[] = {"baseline", "typename", "page"};
  return run_method(self, "HeapDumpExplorer.get_new_objects()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      const Explorer* baseline = convert_baseline(arg[0]);
                      Type type;
                      std::optional<uint64_t> page;
                      if (baseline == nullptr || !convert_type("typename", arg[1], type) ||
                          !convert_optional_u64("page", arg[2], page)) {
                        return nullptr;
                      }
                      auto objects = [&] {
                        ReleasedInterpreterLock unlocked;
                        return vossick::get_new_objects(explorer, *baseline, type, page, unlocked);
                      }();
                      return finish(std::move(objects), summaries_to_python);
                    });
}

PyObject* get_growth_points(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const params[] = {"baseline", "page"};
  return run_method(self, "HeapDumpExplorer.get_growth_points()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      const Explorer* baseline = convert_baseline(arg[0]);
                      std::optional<uint64_t> page;
                      if (baseline == nullptr || !convert_optional_u64("page", arg[1], page)) return nullptr;
                      auto points = [&] {
                        ReleasedInterpreterLock unlocked;
                        return vossick::get_growth_points(explorer, *baseline, page, unlocked);
                      }();
                      return finish(std::move(points), growth_points_to_python);
                    });
}

// ---- consistency check ------------------------------------------------------

PyObject* report_to_python(const ConsistencyReport& report) {
  const auto counts = named_counts(report.counts);
  Ref count_list(PyList_New(static_cast<Py_ssize_t>(counts.size())));
  Ref problem_list(count_list ? PyList_New(static_cast<Py_ssize_t>(report.problems.size())) : nullptr);
  if (!problem_list) return nullptr;
  for (size_t i = 0; i < counts.size(); ++i) {
    const auto& [name, count] = counts[i];
    PyObject* row = Py_BuildValue("(s#K)", name.data(), static_cast<Py_ssize_t>(name.size()),
                                  static_cast<unsigned long long>(count));
    if (row == nullptr) return nullptr;
    PyList_SetItem(count_list.get(), static_cast<Py_ssize_t>(i), row);  // steals row
  }
  for (size_t i = 0; i < report.problems.size(); ++i) {
    const std::string& text = report.problems[i];
    PyObject* item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (item == nullptr) return nullptr;
    PyList_SetItem(problem_list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return PyTuple_Pack(2, count_list.get(), problem_list.get());
}

PyObject* check_consistency(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const params[] = {"progress"};
  return run_method<1, 0>(self, "HeapDumpExplorer.check_consistency()", params, args, nargs, kwnames,
                          [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                            PyObject* progress = arg[0] == Py_None ? nullptr : arg[0];
                            if (progress != nullptr && !PyCallable_Check(progress)) {
                              raise_wrong_class("progress", progress, "Callable");
                              return nullptr;
                            }
                            Result<ConsistencyReport> report = [&] {
                              // Between entries the check takes the lock back now and then, so that
                              // Ctrl-C ends it promptly and `progress` can draw.
                              ReleasedInterpreterLock unlocked(progress);
                              return vossick::check_consistency(explorer, unlocked);
                            }();
                            return finish(std::move(report), report_to_python);
                          });
}

// ---- dominator tree and retained sizes ---------------------------------------

PyObject* compute_retained_sizes(PyObject* self, PyObject*) {
  return with_memory_errors([&]() -> PyObject* {
    Status computed = [&] {
      // Other threads' queries run meanwhile; Ctrl-C stops the run, whose
      // write transaction is then aborted.
      ReleasedInterpreterLock unlocked;
      return dominators::compute_retained_sizes(*as_explorer(self)->core, unlocked);
    }();
    if (!computed.ok()) return raise_error(computed.error());
    Py_RETURN_NONE;
  });
}

PyObject* retained_listing_to_python(dominators::RetainedListing&& listing) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(listing.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < listing.size(); ++i) {
    Ref summary(to_python(listing[i].first));
    Ref size(summary ? PyLong_FromUnsignedLongLong(listing[i].second) : nullptr);
    if (!size) return nullptr;
    PyObject* pair = PyTuple_Pack(2, summary.get(), size.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals pair
  }
  return list.release();
}

PyObject* get_retained_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_object_method(self, "HeapDumpExplorer.get_retained_size()", args, nargs, kwnames,
                           dominators::get_retained_size, [](std::optional<uint64_t>&& size) -> PyObject* {
                             if (!size) Py_RETURN_NONE;
                             return PyLong_FromUnsignedLongLong(*size);
                           });
}

PyObject* get_dominator_chain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_object_method(self, "HeapDumpExplorer.get_dominator_chain()", args, nargs, kwnames,
                           unlocked_by_id<dominators::get_dominator_chain>,
                           [](std::optional<std::vector<ObjectSummary>>&& chain) -> PyObject* {
                             if (!chain) Py_RETURN_NONE;
                             return to_python(*chain);
                           });
}

PyObject* get_dominated_objects(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const params[] = {"obj_id", "page"};
  return run_method(self, "HeapDumpExplorer.get_dominated_objects()", params, args, nargs, kwnames,
                    [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      std::optional<uint64_t> id;
                      std::optional<uint64_t> page;
                      if (!convert_optional_u64("obj_id", arg[0], id) || !convert_optional_u64("page", arg[1], page))
                        return nullptr;
                      return finish(without_interpreter_lock([&](StopCheck& stop) {
                                      return dominators::get_dominated_objects(explorer, id, page, stop);
                                    }),
                                    retained_listing_to_python);
                    });
}

PyObject* get_objects_by_type_ordered_by_retained_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames) {
  static const char* const params[] = {"typename", "page"};
  return run_method(self, "HeapDumpExplorer.get_objects_by_type_ordered_by_retained_size()", params, args, nargs,
                    kwnames, [](const Explorer& explorer, PyObject** arg) -> PyObject* {
                      Type type;
                      std::optional<uint64_t> page;
                      if (!convert_type("typename", arg[0], type) || !convert_optional_u64("page", arg[1], page))
                        return nullptr;
                      return finish(without_interpreter_lock([&](StopCheck& stop) {
                                      return dominators::get_objects_by_type_ordered_by_retained_size(explorer, type,
                                                                                                      page, stop);
                                    }),
                                    retained_listing_to_python);
                    });
}

// ---- the class --------------------------------------------------------------

#define FASTCALL_METHOD(name, signature, doc)                                                                   \
  {                                                                                                             \
#name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(name)), METH_FASTCALL | METH_KEYWORDS, \
        #name signature "\n--\n\n" doc                                                                          \
  }

PyMethodDef explorer_methods[] = {
    FASTCALL_METHOD(import_lines, "($self, lines, estimator_precision)",
                    "Import JSONL heap records and build the requested secondary indexes."),
    FASTCALL_METHOD(get_object, "($self, obj_id)", "Return one object with expanded references and referrers."),
    {"get_type_summaries", get_type_summaries, METH_NOARGS,
     "get_type_summaries($self)\n--\n\nReturn summary rows for every known type."},
    FASTCALL_METHOD(get_count_for_type, "($self, typename)", "Return the number of objects recorded for one type."),
    FASTCALL_METHOD(get_page_count_for_type, "($self, typename)", "Return the number of result pages for one type."),
    FASTCALL_METHOD(get_objects_by_type, "($self, typename, page)",
                    "Return one page of objects for a type in id order."),
    FASTCALL_METHOD(get_objects_by_type_ordered_by_size, "($self, type, subtree_size, page)",
                    "Return one page of objects ordered by direct size or estimated subtree size."),
    FASTCALL_METHOD(find_path_between_objects, "($self, start_id, end_id, avoiding_ids)",
                    "Find one reference path between two objects, optionally skipping specific IDs."),
    FASTCALL_METHOD(find_largest_common_reachable_object, "($self, obj_id1, obj_id2)",
                    "Find the largest object reachable from both of a pair of objects"),
    FASTCALL_METHOD(compare_type_summaries, "($self, baseline)",
                    "Compare type summaries with a baseline explorer (the earlier dump): every type of either, "
                    "the \"All Types\" row included, as (name, baseline summary, summary here), largest growth "
                    "of total size first."),
    FASTCALL_METHOD(get_new_objects, "($self, baseline, typename, page)",
                    "Return one page of the objects whose id the baseline lacks or holds with another type, "
                    "in id order."),
    FASTCALL_METHOD(get_growth_points, "($self, baseline, page)",
                    "Return one page of (object, new objects referenced, their summed size) for objects kept "
                    "since the baseline that reference new objects, largest sum first."),
    FASTCALL_METHOD(check_consistency, "($self, progress=None)",
                    "Check that the stored databases agree with each other; return (counts, problems)."),
    FASTCALL_METHOD(get_reference_labels, "($self, obj_id)",
                    "Return the labels of one object's references, aligned with its references."),
    FASTCALL_METHOD(get_allocation_site, "($self, obj_id)",
                    "Return the file:line where one object was allocated, if the dump recorded it."),
    FASTCALL_METHOD(get_allocation_site_summaries, "($self, page)",
                    "Return one page of (site, count, total size) per allocation site, largest total first."),
    {"compute_retained_sizes", compute_retained_sizes, METH_NOARGS,
     "compute_retained_sizes($self)\n--\n\n"
     "Compute the dominator tree and every object's retained size, and store them."},
    FASTCALL_METHOD(get_retained_size, "($self, obj_id)",
                    "Return the retained size of one object, or None when there is no such object."),
    FASTCALL_METHOD(get_dominator_chain, "($self, obj_id)",
                    "Return the chain of immediate dominators from the top of the dominator tree down to one "
                    "object."),
    FASTCALL_METHOD(get_dominated_objects, "($self, obj_id, page)",
                    "Return one page of the objects an object immediately dominates (None: the top of the "
                    "dominator tree), with their retained sizes, largest first."),
    FASTCALL_METHOD(get_objects_by_type_ordered_by_retained_size, "($self, typename, page)",
                    "Return one page of the objects of a type with their retained sizes, largest first."),
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL_METHOD

PyObject* explorer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const params[] = {"db_path"};
  PyObject* bound[1];
  if (!bind_arguments(Signature{"HeapDumpExplorer.__new__()", params, 1}, args, kwargs, bound)) return nullptr;
  std::string path;
  if (!convert_str("db_path", bound[0], path)) return nullptr;
  if (path.find('\0') != std::string::npos) {
    // As the os module does: the path would be cut at the null byte.
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return nullptr;
  }
  return with_memory_errors([&]() -> PyObject* {
    // Opening waits for the writer only where databases must be created.
    Result<Explorer> opened = [&] {
      ReleasedInterpreterLock unlocked;
      return Explorer::open(path, unlocked);
    }();
    if (!opened.ok()) return raise_error(opened.error());
    Ref self(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;  // `opened` closes the environment
    as_explorer(self.get())->core = new Explorer(std::move(opened).value());
    return self.release();
  });
}

void explorer_dealloc(PyObject* self) {
  // Closes the environment and frees its directory for a later explorer (in
  // a forked child only the latter: the parent's handle is left alone).
  delete as_explorer(self)->core;
  free_heap_instance(self);
}

PyType_Slot explorer_slots[] = {
    {Py_tp_doc, const_cast<char*>("HeapDumpExplorer(db_path)\n--\n\n"
                                  "LMDB-backed explorer for heap dumps produced by the Python dumper.")},
    {Py_tp_new, reinterpret_cast<void*>(explorer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(explorer_dealloc)},
    {Py_tp_methods, explorer_methods},
    {0, nullptr},
};

PyType_Spec explorer_spec = {"builtins.HeapDumpExplorer", sizeof(ExplorerObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, explorer_slots};

std::atomic<PyObject*> explorer_type_cell{nullptr};

}  // namespace

PyObject* heap_dump_explorer_type() { return create_type_once(explorer_type_cell, &explorer_spec); }

}  // namespace vossick::py
