// The only translation unit that knows Python: it converts and forwards.
#include <optional>
#include <string>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "engine/KNNConfig.h"
#include "engine/KNNEngine.h"

namespace py = pybind11;
using quorvane::KNNConfig;
using quorvane::KNNEngine;
using quorvane::MatrixView;

namespace {

/// A matrix argument: a view of the caller's float64 array when it has one,
/// otherwise a converted copy. The view is only read while the call holds the GIL.
struct MatrixArg {
    Eigen::MatrixXd owned;
    std::optional<MatrixView> view;
};

}  // namespace

namespace pybind11::detail {

// Accepts exactly what the Eigen dense-matrix conversion accepts, under the
// same signature, but skips the copy for arrays that already are float64.
template <>
struct type_caster<MatrixArg> {
    using ViewCaster = make_caster<MatrixView>;
    using CopyCaster = make_caster<Eigen::MatrixXd>;

    PYBIND11_TYPE_CASTER(MatrixArg, CopyCaster::name);

    // Zero or negative strides (broadcast or reversed arrays) are copied:
    // the view would misread them.
    static bool viewable(handle src) {
        if (!isinstance<array>(src)) return false;
        const auto a = reinterpret_borrow<array>(src);
        for (ssize_t i = 0; i < a.ndim(); ++i) {
            if (a.strides(i) <= 0 || a.strides(i) % static_cast<ssize_t>(sizeof(double)) != 0) return false;
        }
        return true;
    }

    bool load(handle src, bool convert) {
        ViewCaster view;
        if (viewable(src) && view.load(src, false)) {
            value.view.emplace(static_cast<MatrixView&>(view));
            return true;
        }
        CopyCaster copy;
        if (!copy.load(src, convert)) return false;
        value.owned = std::move(static_cast<Eigen::MatrixXd&>(copy));
        value.view.emplace(value.owned);
        return true;
    }

    static handle cast(const MatrixArg&, return_value_policy, handle) {
        pybind11_fail("MatrixArg is an argument type only");
    }
};

}  // namespace pybind11::detail

PYBIND11_MODULE(quorvane, m) {
    m.doc() = "C++ KNN Engine with Adaptive PCA support";

    py::class_<KNNConfig>(m, "KNNConfig")
        .def(py::init<>())
        .def_readwrite("k", &KNNConfig::k)
        .def_readwrite("variance", &KNNConfig::variance);

    py::class_<KNNEngine>(m, "KNNEngine")
        .def(py::init<KNNConfig>())
        .def(
            "train",
            [](KNNEngine& self, const MatrixArg& X, const std::vector<std::string>& y, bool scale) {
                self.train(*X.view, y, scale);
            },
            py::arg("X"), py::arg("y"), py::arg("scale") = false)
        .def("predict", &KNNEngine::predict)
        .def("predict_batch",
             [](const KNNEngine& self, const MatrixArg& X) { return self.predict_batch(*X.view); });
}
