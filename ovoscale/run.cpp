// ovoscale's run: the answers, the reflections, French and Wilson's
// amplitudes, the anisotropic scaling, then the MTZ and the log.
#include "ovoscale/run.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#define USE_STD_SNPRINTF  // gemmi's own formatter is not packaged
#define GEMMI_WRITE_IMPLEMENTATION
#include <gemmi/mtz.hpp>
#undef GEMMI_WRITE_IMPLEMENTATION

#include "common/failure.hpp"
#include "common/file_names.hpp"
#include "common/layout/eigen_b.hpp"
#include "common/output_file.hpp"
#include "common/records.hpp"
#include "common/terminal.hpp"
#include "ovoscale/posterior.hpp"
#include "ovoscale/prior.hpp"
#include "ovoscale/reflections.hpp"
#include "ovoscale/scaling.hpp"

namespace ovoscale {

namespace {

// The fit takes the reflections from 5 A outwards where the data reach
// 3.3 A or beyond (a span of 0.05 1/A^2 in s^2 from 5 A): there the mean
// intensity of a protein crystal follows the reference curve, while at
// lower resolution it follows its solvent and shape as much as its atoms.
// Data that end before 3.3 A are fitted over the last 0.05 1/A^2 of s^2
// they have, never from further in than 10 A, where the protein correction
// of the curve begins: data that end at 4.5 A are fitted from 10 A.
constexpr double kFitLowResolution = 5.0;
constexpr double kFitLowestResolution = 10.0;
constexpr double kFitSpan = 0.05;  // 1/A^2
double fitStart(double s2High) {
    const double start = std::min(1.0 / (kFitLowResolution * kFitLowResolution), s2High - kFitSpan);
    return std::max(start, 1.0 / (kFitLowestResolution * kFitLowestResolution));
}
// A term of B known no better than this (its standard error, A^2) is not
// a result: a few hundred reflections of one wedge or a narrow shell.
constexpr double kLargestError = 5.0;
// Fewer reflections than this in the fitted range give no result.
constexpr int64_t kFewestFitted = 100;
// Rounds of the prior's tensor against the data's own isotropic shape.
constexpr int kPriorRounds = 2;

struct Answers {
    std::string reflections, labels, mtz, log;
    bool mtzInput = false;
};

Answers askAnswers() {
    Answers answers;
    answers.reflections = common::askFileName("Please type the reflection file (XDS_ASCII or MTZ)",
                                              "name of the reflection file");
    answers.mtzInput = isMtz(answers.reflections);
    if (answers.mtzInput) {
        answers.labels = common::ask("Please type the labels I SIGI or F SIGF (blank: IMEAN SIGIMEAN, else FP SIGFP)",
                                     "column labels");
    }
    answers.mtz = common::askFileName("Please type the name of the MTZ file to create", "name of the MTZ file");
    answers.log = common::askFileName("Please type the name of the log to create", "name of the log");
    if (answers.mtz.empty()) common::fail("no name was given for the MTZ file");
    if (answers.log.empty()) common::fail("no name was given for the log");
    // An output named like an existing file (the reflection file too) is
    // refused here, before the work, and again when it is created; two
    // outputs of one name would not be.
    if (common::sameFile(answers.mtz, answers.log)) common::fail("the MTZ file and the log are one file, " + common::quoted(answers.log));
    common::AllOrNothingFile::refuseTaken(answers.mtz);
    common::AllOrNothingFile::refuseTaken(answers.log);
    return answers;
}

// epsilon in bits 0-6, centric in bit 7, rejected in bit 6 of a second byte
// would cost memory: a rejected reflection is marked by epsilon 0.
constexpr uint8_t kCentric = 0x80;
constexpr uint8_t kEpsilonMask = 0x7f;

struct Prepared {
    std::vector<uint8_t> flags;  // per row: epsilon (0: not used), centric bit
    int64_t used = 0, rejected = 0;
    double s2Low = INFINITY, s2High = 0;
};

void indicesOf(const MergedReflection& r, int32_t& h, int32_t& k, int32_t& l) { r.measuredIndices(h, k, l); }

Prepared prepare(const ReflectionData& data, const gemmi::GroupOps& operations,
                 const common::OrthonormalFrame<double>& frame) {
    Prepared p;
    p.flags.resize(data.rows.size());
    for (size_t i = 0; i < data.rows.size(); ++i) {
        const MergedReflection& r = data.rows[i];
        if (std::isnan(r.sigma)) continue;
        if (data.amplitudes ? !(r.intensity >= 0) : rejected(r.intensity, r.sigma)) {
            ++p.rejected;
            continue;
        }
        int32_t h, k, l;
        indicesOf(r, h, k, l);
        if (h == 0 && k == 0 && l == 0) continue;
        const gemmi::Op::Miller hkl{{h, k, l}};
        if (operations.is_systematically_absent(hkl)) continue;
        const int epsilon = std::clamp(operations.epsilon_factor(hkl), 1, 127);
        p.flags[i] = static_cast<uint8_t>(epsilon | (operations.is_reflection_centric(hkl) ? kCentric : 0));
        double s[3];
        frame.coordinates(h, k, l, s);
        const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
        p.s2Low = std::min(p.s2Low, s2);
        p.s2High = std::max(p.s2High, s2);
        ++p.used;
    }
    return p;
}

class Source : public MeasurementSource {
public:
    Source(const ReflectionData& data, const Prepared& prepared, const common::OrthonormalFrame<double>& frame,
           double s2Low)
        : data_(data), prepared_(prepared), frame_(frame), s2Low_(s2Low) {}
    void forEach(const std::function<void(const Measurement&)>& use) const override {
        Measurement m;
        for (size_t i = 0; i < data_.rows.size(); ++i) {
            const uint8_t flag = prepared_.flags[i];
            if (flag == 0) continue;
            const MergedReflection& r = data_.rows[i];
            int32_t h, k, l;
            indicesOf(r, h, k, l);
            frame_.coordinates(h, k, l, m.s);
            if (m.s[0] * m.s[0] + m.s[1] * m.s[1] + m.s[2] * m.s[2] < s2Low_) continue;
            m.value = r.intensity;
            m.sigma = r.sigma;
            m.epsilon = flag & kEpsilonMask;
            m.centric = (flag & kCentric) != 0;
            use(m);
        }
    }

private:
    const ReflectionData& data_;
    const Prepared& prepared_;
    const common::OrthonormalFrame<double>& frame_;
    double s2Low_;
};

std::string fixedText(double value, int width, int decimals) {
    common::RecordBuffer record;
    record.fixed(static_cast<float>(value), width, decimals);
    return std::string(record.view());
}

std::string trimmedFixed(double value, int decimals) {
    const std::string text = fixedText(value, 12, decimals);
    return text.substr(text.find_first_not_of(' '));
}

int noResult(const std::string& why) {
    common::report(why + "; no MTZ file and no log were written");
    return common::kExitNoResult;
}

// The amplitudes of one row and their corrected twins, or no values.
struct Row {
    float f = NAN, sigma = NAN, fIso = NAN, sigmaIso = NAN;
};

// The columns of anomalous data, as reduction programs write them, then
// each corrected alike under the same label with _ISO.
constexpr size_t kAnomalousColumns = 6;
constexpr const char* kAnomalousLabels[kAnomalousColumns] = {"F(+)", "SIGF(+)", "F(-)", "SIGF(-)", "DANO", "SIGDANO"};
constexpr char kAnomalousTypes[kAnomalousColumns + 1] = "GLGLDQ";

// F(+), SIGF(+), F(-), SIGF(-), DANO, SIGDANO of one reflection: the mates'
// amplitudes by French and Wilson with the prior of the mean, NaN where a
// mate was not measured or is rejected; DANO where both are. A centric
// reflection's mates are one reflection: FP in both, no DANO.
// `errorOf(I, sigma, prior mean)` gives a mate's ErrorVariance.
template <class ErrorOf>
std::array<float, kAnomalousColumns> anomalousRow(const Mates& mates, const Row& mean, bool centric,
                                                  const PosteriorTable& table, double priorMean, const ErrorOf& errorOf) {
    std::array<float, kAnomalousColumns> v;
    v.fill(NAN);
    if (centric) {
        v[0] = v[2] = mean.f;
        v[1] = v[3] = mean.sigma;
        return v;
    }
    auto amplitude = [&](float intensity, float sigma, float& f, float& sigmaF) {
        if (std::isnan(intensity) || rejected(intensity, sigma)) return;
        const Amplitude a = frenchWilson(table, Prior::acentric, intensity, sigma, priorMean, errorOf(intensity, sigma, priorMean));
        f = static_cast<float>(a.f);
        sigmaF = static_cast<float>(a.sigma);
    };
    amplitude(mates.plus, mates.sigmaPlus, v[0], v[1]);
    amplitude(mates.minus, mates.sigmaMinus, v[2], v[3]);
    if (!std::isnan(v[0]) && !std::isnan(v[2])) {
        v[4] = v[0] - v[2];
        v[5] = static_cast<float>(std::hypot(v[1], v[3]));
    }
    return v;
}

// A line for each part of B that the data leave open, naming a direction
// by its reciprocal axis where it lies along one.
std::vector<std::string> undeterminedNotes(const ScalingFit& fit, const common::OrthonormalFrame<double>& frame) {
    std::vector<std::string> notes;
    for (std::array<double, 3> u : fit.missingDirections) {
        for (double& x : u) x = std::fabs(x) < 5e-5 ? 0.0 : x;  // no "-0.0000"
        std::string name;
        const char* axes[3] = {"a*", "b*", "c*"};
        for (int axis = 0; axis < 3; ++axis) {
            double s[3];
            frame.coordinates(axis == 0, axis == 1, axis == 2, s);
            const double cosine = std::fabs(s[0] * u[0] + s[1] * u[1] + s[2] * u[2]) / std::hypot(s[0], s[1], s[2]);
            if (cosine > std::cos(M_PI / 180)) name = axes[axis];
        }
        notes.push_back("B along " + (name.empty() ? std::string("the direction") : name) + " (cosines" +
                        fixedText(u[0], 8, 4) + fixedText(u[1], 8, 4) + fixedText(u[2], 8, 4) +
                        "): no fitted reflection has a component along it; its anisotropic part held at zero");
    }
    if (fit.isotropicHeld) {
        notes.push_back("the isotropic B: every fitted reflection lies at one resolution; held at zero");
    }
    if (fit.heldTerms > 0 && notes.empty()) {
        notes.push_back(std::to_string(fit.heldTerms) + " combinations of the terms of B; held at the least anisotropic");
    }
    return notes;
}

}  // namespace

// Where a Wilson plot is straight for a protein: 3.5 A and beyond.
constexpr double kWilsonRegion = 3.5;

int runOvoscale() {
    const Answers answers = askAnswers();
    ReflectionData data = answers.mtzInput ? readMergedMtz(answers.reflections, answers.labels)
                                            : readMerging(answers.reflections, answers.labels);
    common::say(data.summary);

    const common::ReciprocalCell reciprocal = common::computeReciprocalCell(data.cell);
    const common::OrthonormalFrame<double> frame = common::orthonormalFrame<double>(data.cell, reciprocal);
    const gemmi::GroupOps operations = data.spaceGroup->operations();
    const Prepared prepared = prepare(data, operations, frame);
    if (prepared.used == 0) {
        return noResult("no reflection with a usable value in " + common::quoted(answers.reflections) + " (" +
                        std::to_string(prepared.rejected) + (data.amplitudes ? " with F below 0)" : " rejected, I below -4 sigma(I))"));
    }

    // The anisotropic scaling.
    const std::vector<Sym6> basis = invariantTensors(operations, frame);
    const PosteriorTable table;
    const double s2Low = fitStart(prepared.s2High);
    const double dStart = 1.0 / std::sqrt(s2Low);
    const Source source(data, prepared, frame, s2Low);
    if (!(prepared.s2High >= s2Low)) {
        return noResult("no reflection of " + common::quoted(answers.reflections) + " lies beyond " +
                        trimmedFixed(kFitLowestResolution, 1) + " A, where the fit starts");
    }
    const ScalingFit fit = fitScaling(source, data.amplitudes, basis, table);
    const double dHigh = 1.0 / std::sqrt(prepared.s2High);
    if (fit.reflections < std::max<int64_t>(kFewestFitted, 10 * static_cast<int64_t>(basis.size() + 1))) {
        return noResult("too few reflections to fit: " + std::to_string(fit.reflections) + " between " +
                        trimmedFixed(dStart, 1) + " and " +
                        common::generalText(static_cast<float>(dHigh)) + " A, where " +
                        std::to_string(std::max<int64_t>(kFewestFitted, 10 * static_cast<int64_t>(basis.size() + 1))) +
                        " are needed");
    }
    if (!fit.converged) {
        return noResult("the fit of the scale and B did not converge (" + std::to_string(fit.iterations) +
                        " steps taken)");
    }
    if (!(fit.largestError <= kLargestError)) {
        const bool iso = fit.isotropicError > kLargestError;
        const bool aniso = fit.anisotropicError > kLargestError;
        return noResult(std::string("the data do not determine ") +
                        (iso && aniso ? "the isotropic B nor the anisotropic part" : iso ? "the isotropic B" : "the anisotropic part of B") +
                        ": standard errors " + common::generalText(static_cast<float>(fit.isotropicError)) + " and " +
                        common::generalText(static_cast<float>(fit.anisotropicError)) + " A^2 (" +
                        std::to_string(fit.reflections) + " reflections fitted), more than " +
                        trimmedFixed(kLargestError, 1) + " A^2");
    }
    const double bIso = (fit.b[0] + fit.b[1] + fit.b[2]) / 3;
    const Principal whole = principalComponents(fit.b);
    if (!(whole.values[2] > 0)) {
        return noResult("the fitted B tensor is not positive definite (its smallest principal value is " +
                        common::generalText(static_cast<float>(whole.values[2])) +
                        " A^2): the data fall off more slowly than the reference curve in one direction");
    }
    const Sym6 aniso = {fit.b[0] - bIso, fit.b[1] - bIso, fit.b[2] - bIso, fit.b[3], fit.b[4], fit.b[5]};
    const Principal principal = principalComponents(aniso);
    common::eigen_b::Table eigenTable;
    for (size_t i = 0; i < 3; ++i) {
        eigenTable[i].value = static_cast<float>(principal.values[i]);
        for (size_t j = 0; j < 3; ++j) eigenTable[i].cosines[j] = static_cast<float>(principal.vectors[i][j]);
    }
    if (!common::eigen_b::fits(eigenTable)) {
        return noResult("a principal component of the anisotropic part does not fit its field (F9.3)");
    }
    const std::vector<std::string> openTerms = undeterminedNotes(fit, frame);
    const double range = principal.values[0] - principal.values[2];
    const double resharpening = principal.values[2];

    // French and Wilson's prior: each reflection's expected intensity from
    // the fit, on the data's own scale by shells (prior.hpp). The tensor of
    // the prior is the fit's refined against the curve times the data's
    // isotropic shape c(s^2) of those shells (refineScaling), then c again
    // around that expectation, in rounds, so that a difference between the
    // curve and the data's falloff does not take from the weak direction.
    // The fit's own tensor stays the one written and applied.
    ScalingFit priorFit = fit;
    // The isotropic shape so far: the sum of each round's shells'
    // log-corrections (none before the first).
    std::vector<ReflectionPrior> shapes;
    const auto logShape = [&shapes](double s2) {
        double sum = 0;
        for (const ReflectionPrior& shells : shapes) sum += shells.logCorrectionAt(s2);
        return sum;
    };
    // The expected intensity per epsilon that French and Wilson's prior starts from.
    const auto priorExpectation = [&](const double s[3], double s2) {
        return expectedIntensity(priorFit, s, 1) * std::exp(logShape(s2));
    };
    int priorRounds = 0;
    std::optional<ReflectionPrior> prior;
    const auto fillPrior = [&]() {
        prior.emplace(prepared.s2Low, prepared.s2High, prepared.used);
        for (size_t i = 0; i < data.rows.size(); ++i) {
            const uint8_t flag = prepared.flags[i];
            if (flag == 0) continue;
            int32_t h, k, l;
            indicesOf(data.rows[i], h, k, l);
            double s[3];
            frame.coordinates(h, k, l, s);
            const double epsilon = flag & kEpsilonMask;
            const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
            prior->add(s2, data.rows[i].intensity / epsilon, data.rows[i].sigma / epsilon, priorExpectation(s, s2));
        }
        prior->finish();
    };
    if (!data.amplitudes) {
        fillPrior();
        for (int round = 0; round < kPriorRounds; ++round) {
            shapes.push_back(*prior);
            const ScalingFit refined = refineScaling(source, basis, table, priorFit, logShape);
            if (!refined.converged) {
                shapes.pop_back();
                break;
            }
            priorFit = refined;
            ++priorRounds;
            fillPrior();
        }
    }
    const Principal priorWhole = principalComponents(priorFit.b);

    // French and Wilson's posterior: the error of each measurement moves with
    // the true intensity as the fit's error model m(J) = a + b J + c J^2
    // says, on the reflection's own scale, its sigma^2 over the mean sigma^2
    // of the data at the same measured and expected intensity (prior.hpp). The rule is
    // one for sigmas estimated from the measured intensity, from the true
    // one, or constant, and it keeps what a reflection's sigma says of its
    // own multiplicity (a mate of anomalous data has about twice the mean's
    // variance at every J).
    const ErrorModel& model = fit.errorModel;
    const bool varying = !data.amplitudes && (model.b > 0 || model.c > 0);
    // French and Wilson's prior mean intensity of reflection i (flag not 0).
    const auto priorMeanOf = [&](size_t i, int32_t h, int32_t k, int32_t l) {
        if (!prior) return 0.0;
        double s[3];
        frame.coordinates(h, k, l, s);
        const double s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
        return (prepared.flags[i] & kEpsilonMask) * prior->meanAt(s2, priorExpectation(s, s2));
    };
    // Where the error varies the prior means are worked out once and kept
    // for the MTZ's rows (8 bytes a reflection, freed with them).
    MeasuredError measured(std::sqrt(model.a));
    std::vector<double> priorMeans;
    if (varying) {
        priorMeans.resize(data.rows.size());
        for (size_t i = 0; i < data.rows.size(); ++i) {
            if (prepared.flags[i] == 0) continue;
            int32_t h, k, l;
            indicesOf(data.rows[i], h, k, l);
            priorMeans[i] = priorMeanOf(i, h, k, l);
            measured.add(data.rows[i].intensity, data.rows[i].sigma * data.rows[i].sigma, priorMeans[i]);
        }
        measured.finish();
    }
    const auto errorOf = [&](double intensity, double sigma, double priorMean) {
        if (!varying || !takesVaryingError(intensity, sigma)) return ErrorVariance{};
        const double usual = measured.at(intensity, priorMean);
        const double ratio = usual > 0 ? sigma * sigma / usual : 1.0;
        return ErrorVariance{ratio * model.a, ratio * model.b, ratio * model.c};
    };

    // The MTZ: every row's amplitudes, then the corrected ones.
    gemmi::Mtz mtz(false);
    const std::string history = "ovoscale: FP_ISO = FP exp(+s^T Baniso s/4), Baniso range " + trimmedFixed(range, 3) + " A^2";
    size_t fColumn = 0, sigmaColumn = 0, fIsoColumn = 0, sigmaIsoColumn = 0;
    // The anomalous columns, then their corrected twins.
    std::array<size_t, 2 * kAnomalousColumns> anomalousColumn{};
    const bool anomalous = data.anomalous() && !data.amplitudes;
    auto addAnomalousColumns = [&](bool expand) {
        if (!anomalous) return;
        for (size_t j = 0; j < 2 * kAnomalousColumns; ++j) {
            const std::string label = std::string(kAnomalousLabels[j % kAnomalousColumns]) + (j < kAnomalousColumns ? "" : "_ISO");
            anomalousColumn[j] = mtz.add_column(label, kAnomalousTypes[j % kAnomalousColumns], -1, -1, expand).idx;
        }
    };
    std::vector<std::string> replaced;
    std::string freeLabel;
    // A merged MTZ input is carried through row by row; any other input (an
    // XDS file, an unmerged MTZ file) gives rows of its own, one a merged
    // reflection.
    const bool carried = data.mtz.has_value();
    if (carried) {
        mtz = std::move(*data.mtz);
        data.mtz.reset();
        // Columns of the names written here are replaced, but for the
        // amplitudes read themselves when they are FP and SIGFP.
        const bool ownAmplitudes = data.amplitudes && data.valueLabel == "FP" && data.sigmaLabel == "SIGFP";
        std::vector<std::string> written = {"FP", "SIGFP", "FP_ISO", "SIGFP_ISO"};
        for (size_t j = 0; anomalous && j < 2 * kAnomalousColumns; ++j) {
            written.push_back(std::string(kAnomalousLabels[j % kAnomalousColumns]) + (j < kAnomalousColumns ? "" : "_ISO"));
        }
        for (const std::string& label : written) {
            if (ownAmplitudes && (label == "FP" || label == "SIGFP")) continue;
            if (const gemmi::Mtz::Column* c = mtz.column_with_label(label)) {
                replaced.push_back(label);
                mtz.remove_column(static_cast<size_t>(c->idx));
            }
        }
        if (ownAmplitudes) {
            fColumn = mtz.column_with_label("FP")->idx;
            sigmaColumn = mtz.column_with_label("SIGFP")->idx;
        } else {
            fColumn = mtz.add_column("FP", 'F', -1, -1, true).idx;
            sigmaColumn = mtz.add_column("SIGFP", 'Q', -1, -1, true).idx;
        }
        fIsoColumn = mtz.add_column("FP_ISO", 'F', -1, -1, true).idx;
        sigmaIsoColumn = mtz.add_column("SIGFP_ISO", 'Q', -1, -1, true).idx;
        addAnomalousColumns(true);
        for (const gemmi::Mtz::Column& c : mtz.columns) {
            std::string upper = c.label;
            for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            if (freeLabel.empty() && c.type == 'I' && upper.find("FREE") != std::string::npos) freeLabel = c.label;
        }
    } else {
        mtz = gemmi::Mtz(true);
        mtz.spacegroup = data.spaceGroup;
        mtz.set_cell_for_all(gemmi::UnitCell(data.cell.a, data.cell.b, data.cell.c, data.cell.alpha, data.cell.beta,
                                             data.cell.gamma));
        mtz.add_dataset("ovoscale");
        mtz.datasets.back().project_name = "ovoscale";
        mtz.datasets.back().crystal_name = "crystal";
        fColumn = mtz.add_column("FP", 'F', -1, -1, false).idx;
        sigmaColumn = mtz.add_column("SIGFP", 'Q', -1, -1, false).idx;
        fIsoColumn = mtz.add_column("FP_ISO", 'F', -1, -1, false).idx;
        sigmaIsoColumn = mtz.add_column("SIGFP_ISO", 'Q', -1, -1, false).idx;
        addAnomalousColumns(false);
        mtz.nreflections = static_cast<int>(data.rows.size());
        mtz.data.resize(data.rows.size() * mtz.columns.size());
        mtz.sort_order = {{1, 2, 3, 0, 0}};
    }
    mtz.history.insert(mtz.history.begin(), history);
    const size_t columns = mtz.columns.size();
    int64_t written = 0;
    for (size_t i = 0; i < data.rows.size(); ++i) {
        const MergedReflection& r = data.rows[i];
        float* row = &mtz.data[i * columns];
        int32_t h, k, l;
        indicesOf(r, h, k, l);
        if (!carried) {
            row[0] = static_cast<float>(h), row[1] = static_cast<float>(k), row[2] = static_cast<float>(l);
        }
        Row out;
        const uint8_t flag = prepared.flags[i];
        if (flag != 0) {
            double s[3];
            frame.coordinates(h, k, l, s);
            const Sym6 mono = monomials(s);
            // French and Wilson's prior: the expected intensity of this
            // reflection at its own direction, the mates' as the mean's.
            const double priorMean = priorMeans.empty() ? priorMeanOf(i, h, k, l) : priorMeans[i];
            if (data.amplitudes) {
                out.f = static_cast<float>(r.intensity);
                out.sigma = static_cast<float>(r.sigma);
            } else {
                const Amplitude a = frenchWilson(table, (flag & kCentric) ? Prior::centric : Prior::acentric,
                                                 r.intensity, r.sigma, priorMean, errorOf(r.intensity, r.sigma, priorMean));
                out.f = static_cast<float>(a.f);
                out.sigma = static_cast<float>(a.sigma);
            }
            const double factor = std::exp(quadratic(aniso, mono) / 4);
            out.fIso = static_cast<float>(out.f * factor);
            out.sigmaIso = static_cast<float>(out.sigma * factor);
            if (anomalous) {
                const std::array<float, kAnomalousColumns> v =
                    anomalousRow(data.mates[i], out, (flag & kCentric) != 0, table, priorMean, errorOf);
                for (size_t j = 0; j < kAnomalousColumns; ++j) {
                    row[anomalousColumn[j]] = v[j];
                    row[anomalousColumn[j + kAnomalousColumns]] = static_cast<float>(v[j] * factor);
                }
            }
            ++written;
        } else if (data.amplitudes && data.valueLabel == "FP" && data.sigmaLabel == "SIGFP") {
            out.f = row[fColumn], out.sigma = row[sigmaColumn];  // carried as they were
        }
        if (anomalous && flag == 0) {
            for (const size_t column : anomalousColumn) row[column] = NAN;
        }
        row[fColumn] = out.f;
        row[sigmaColumn] = out.sigma;
        row[fIsoColumn] = out.fIso;
        row[sigmaIsoColumn] = out.sigmaIso;
    }
    data.rows.clear();
    data.rows.shrink_to_fit();
    priorMeans.clear();
    priorMeans.shrink_to_fit();

    // Both files, or neither: written under hidden names, named when both
    // are complete, and kept only once the transcript is written too.
    common::RunOutputs outputs;
    common::AllOrNothingFile mtzFile(outputs, answers.mtz);
    mtz.write_to_stream([&mtzFile](const void* bytes, size_t size, size_t count) {
        mtzFile.writeText(std::string_view(static_cast<const char*>(bytes), size * count));
        return count;
    });
    mtzFile.flush();

    common::AllOrNothingFile log(outputs, answers.log);
    log.writeRecord("ovoscale: amplitudes and anisotropic scaling");
    log.writeRecord("   " + data.summary.substr(1));
    if (!data.amplitudes) {
        log.writeRecord("   French and Wilson amplitudes: " + std::to_string(prepared.rejected) +
                        " intensities rejected (I below -4 sigma(I))");
        log.writeRecord("   French and Wilson prior: anisotropic, each reflection's mean intensity from the fitted curve "
                        "and B tensor at its own direction, on the data's scale in " +
                        std::to_string(prior->shells()) + " shells of equal reciprocal volume");
        log.writeRecord("   French and Wilson prior's B tensor: the fit's refined against the curve times the data's own "
                        "isotropic shape (" + std::to_string(priorRounds) + " rounds), principal values" +
                        fixedText(priorWhole.values[0], 9, 3) + fixedText(priorWhole.values[1], 9, 3) +
                        fixedText(priorWhole.values[2], 9, 3) + " A^2");
        log.writeRecord(!varying ? "   French and Wilson posterior: Gaussian error of the sigma(I) read (the error model is constant)"
                                 : "   French and Wilson posterior: Gaussian error whose variance follows the true intensity by "
                                   "the error model, times each sigma(I)^2 read over the mean at its measured intensity "
                                   "(below I/sigma(I) 4; from 8 the sigma(I) read; blended between)");
    } else {
        log.writeRecord("   Amplitudes as read: " + std::to_string(prepared.rejected) + " left out (F below 0)");
    }
    log.writeRecord("   Reflections fitted: " + std::to_string(fit.reflections) + " from " + trimmedFixed(dStart, 2) +
                    " to " + trimmedFixed(dHigh, 2) + " A" +
                    (dStart > kFitLowResolution + 1e-6 ? " (data ending before 3.3 A: the fit starts below 5 A)" : ""));
    log.writeRecord("   Terms of B allowed by the Laue class of " + std::string(data.spaceGroup->hm) + ": " +
                    std::to_string(basis.size()) +
                    (fit.heldTerms > 0 ? ", " + std::to_string(fit.heldTerms) + " not determined by the data" : ""));
    for (const std::string& note : openTerms) log.writeRecord("   Not determined: " + note);
    log.writeRecord("   Reference curve: randomly placed atoms of the average residue times the protein correction "
                    "of Popov and Bourenkov (2003)");
    if (data.amplitudes) {
        log.writeRecord("   Measurement error: variance 2 sigma(F)^2 (acentric), sigma(F)^2 (centric) added to Wilson's");
    } else {
        log.writeRecord("   Measurement error: Gaussian error of I convolved with Wilson's distribution, its variance "
                        "a + b S + c S^2 of the expected intensity S fitted to the sigma(I)^2 read: a " +
                        common::generalText(static_cast<float>(fit.errorModel.a)) + ", b " +
                        common::generalText(static_cast<float>(fit.errorModel.b)) + ", c " +
                        common::generalText(static_cast<float>(fit.errorModel.c)) + " (" + std::to_string(fit.rounds) +
                        " rounds)");
    }
    log.writeRecord("   Converged after " + std::to_string(fit.iterations) + " steps; log-likelihood " +
                    common::generalText(static_cast<float>(fit.logLikelihood)));
    log.writeRecord("   Standard errors: isotropic B " + trimmedFixed(fit.isotropicError, 3) +
                    " A^2, anisotropic part up to " + trimmedFixed(fit.anisotropicError, 3) + " A^2");
    log.writeRecord("   Scale ln k:" + fixedText(fit.logScale, 12, 4));
    log.writeRecord("   Isotropic B (trace/3):" + fixedText(bIso, 10, 3));
    if (dHigh > kWilsonRegion) {
        // Before 3.5 A a protein's mean intensity is shaped by its secondary
        // structure and solvent more than by B: the fit follows the
        // reference curve's shape there (data of a true 100 ending at 4.5 A
        // came back at 122), while the anisotropic part, a ratio of
        // directions at one resolution, holds (within 4 %).
        log.writeRecord("   Isotropic B: the data end at " + trimmedFixed(dHigh, 2) +
                        " A, before the Wilson region (3.5 A and beyond); it follows the reference curve's shape "
                        "as much as the data's fall, and is rough");
    }
    log.writeRecord("   Principal components of anisotropic part of B affecting observed amplitudes:");
    common::eigen_b::write(log, eigenTable);
    log.writeRecord("   Range of principal components:" + fixedText(range, 10, 3));
    log.writeRecord("   Resharpening B (most negative component):" + fixedText(resharpening, 10, 3));
    log.flush();

    mtzFile.close();
    log.close();

    common::say(common::FreeLine()
                    .text(data.amplitudes ? "left out (F below 0):" : "rejected (I below -4 sigma(I)):")
                    .integer(prepared.rejected));
    common::say(common::FreeLine()
                    .text("fitted")
                    .integer(fit.reflections)
                    .text("reflections from")
                    .real(static_cast<float>(dStart))
                    .text("to")
                    .real(static_cast<float>(dHigh))
                    .text("A;")
                    .integer(static_cast<int64_t>(basis.size()))
                    .text("terms of B"));
    for (const std::string& note : openTerms) common::say("not determined by the data: " + note);
    common::say(common::FreeLine().text("isotropic B").real(static_cast<float>(bIso)));
    common::say(common::FreeLine()
                    .text("anisotropic B principal components")
                    .real(eigenTable[0].value)
                    .real(eigenTable[1].value)
                    .real(eigenTable[2].value));
    common::say(common::FreeLine().text("range").real(static_cast<float>(range)).text("resharpening B").real(eigenTable[2].value));
    for (const std::string& label : replaced) common::say("column " + label + " of the input replaced");
    if (data.mtz || answers.mtzInput) {
        common::say(freeLabel.empty() ? std::string("no R-free flag column in the input")
                                      : "R-free flags carried through: " + freeLabel);
    }
    common::say(common::FreeLine().integer(written).text("reflections written to " + answers.mtz));
    common::say("log written to " + answers.log);
    outputs.keep();
    return 0;
}

}  // namespace ovoscale
