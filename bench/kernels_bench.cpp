// kernels_bench.cpp: the two recursions timed against their floor loops.
//
// bench/run.py writes the benchmark model (its transition model, both
// layouts and the densities of every frame) into a directory; this harness
// loads it, checks each recursion bit for bit against a plain loop over the
// transition model itself (no layout involved, so the layout is checked
// too), then times recursion and floor loop alternately in the same run and
// prints the best and the median of several repetitions.
//
// The floors are the work no implementation of the stated arithmetic can
// skip.  Viterbi: the interior shift over all N states as one run, plus one
// candidate addition per boundary edge, per frame.  Forward: the serial
// float32 sum over N states per frame, whose order is part of the result,
// so that it cannot be split into partial sums.
//
// Sizes come from the files and pass through `opaque` before every timed
// call, so the optimiser can neither specialise on them nor drop a loop
// whose result is only stored.
//
// Every instruction-set form this CPU runs is checked and timed in the same
// run (`--forms` narrows them), so its speed over the portable form is a
// ratio from one process.  Output is one `key value...` record per line, for
// run.py to parse:
//   form <name>                      (each form checked and timed)
//   check <kernel>.<form> ok|FAILED <what>
//   time <name>[.<form>] <frames> <best seconds> <median seconds>
//   result viterbi_log_probability <value>
//   model states <N> boundary <B> edges <E> runs <R> frames <T>
// With --verify-only nothing is timed; each form's Viterbi path and forward
// states go to viterbi_path.<form>.out and forward_states.<form>.out.
// For a profile of one recursion alone:
//   valgrind --tool=callgrind bench/out/kernels_bench --only viterbi
//       --frames 3000 --no-verify --reps 1 --short-reps 1
#include "forward_kernel.hpp"
#include "viterbi_kernel.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace cadentia;

constexpr uint32_t unwritten = 0xFFFFFFFFu;
constexpr float minus_inf = -std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------------------
// Keeping the optimiser honest

template <class T>
inline T opaque(T value) {
    asm volatile("" : "+r"(value));
    return value;
}

inline void clobber() { asm volatile("" ::: "memory"); }

// ---------------------------------------------------------------------------
// The model files

struct array_file {
    std::string dtype;
    size_t count = 0;
    std::vector<uint64_t> storage;  // 8-byte aligned
};

struct model_files {
    std::map<std::string, long long> scalars;
    std::map<std::string, array_file> arrays;

    template <class T>
    const T* get(const std::string& name, const char* dtype, size_t* count = nullptr) const {
        auto it = arrays.find(name);
        if (it == arrays.end() || it->second.dtype != dtype) {
            std::fprintf(stderr, "error: array %s (%s) missing from the model files\n",
                         name.c_str(), dtype);
            std::exit(2);
        }
        if (count)
            *count = it->second.count;
        return reinterpret_cast<const T*>(it->second.storage.data());
    }

    long long scalar(const std::string& name) const {
        auto it = scalars.find(name);
        if (it == scalars.end()) {
            std::fprintf(stderr, "error: %s missing from the model header\n", name.c_str());
            std::exit(2);
        }
        return it->second;
    }
};

size_t dtype_size(const std::string& dtype) {
    if (dtype == "u32" || dtype == "f32")
        return 4;
    if (dtype == "i64")
        return 8;
    std::fprintf(stderr, "error: unknown dtype %s\n", dtype.c_str());
    std::exit(2);
}

// model.txt lists `scalar <name> <value>` and `array <name> <dtype> <count>`;
// each array is raw little-endian in <name>.bin beside it.
model_files load(const std::string& dir) {
    model_files files;
    std::ifstream header(dir + "/model.txt");
    if (!header) {
        std::fprintf(stderr, "error: cannot read %s/model.txt (run bench/run.py)\n", dir.c_str());
        std::exit(2);
    }
    std::string line;
    while (std::getline(header, line)) {
        std::istringstream fields(line);
        std::string kind, name;
        fields >> kind >> name;
        if (kind == "scalar") {
            fields >> files.scalars[name];
        } else if (kind == "array") {
            array_file& a = files.arrays[name];
            fields >> a.dtype >> a.count;
            const size_t bytes = a.count * dtype_size(a.dtype);
            a.storage.resize((bytes + 7) / 8 + 1);
            std::ifstream data(dir + "/" + name + ".bin", std::ios::binary);
            data.read(reinterpret_cast<char*>(a.storage.data()),
                      static_cast<std::streamsize>(bytes));
            if (!data || data.peek() != std::char_traits<char>::eof()) {
                std::fprintf(stderr, "error: %s/%s.bin does not hold %zu bytes\n", dir.c_str(),
                             name.c_str(), bytes);
                std::exit(2);
            }
        }
    }
    return files;
}

layout_ref layout_from(const model_files& f, const std::string& prefix, int32_t num_states) {
    size_t num_bnd, num_pred, num_runs;
    layout_ref lay{};
    lay.bnd_state = f.get<uint32_t>(prefix + "bnd_state", "u32", &num_bnd);
    lay.pred_list = f.get<uint32_t>(prefix + "pred_list", "u32", &num_pred);
    lay.bnd_src = f.get<uint32_t>(prefix + "bnd_src", "u32");
    lay.bnd_orig = f.get<uint32_t>(prefix + "bnd_orig", "u32");
    lay.bnd_ptr = f.get<int64_t>(prefix + "bnd_ptr", "i64");
    lay.bnd_weight = f.get<float>(prefix + "bnd_weight", "f32");
    lay.bnd_dcol = f.get<uint32_t>(prefix + "bnd_dcol", "u32");
    lay.run_lo = f.get<int64_t>(prefix + "run_lo", "i64", &num_runs);
    lay.run_hi = f.get<int64_t>(prefix + "run_hi", "i64");
    lay.run_col = f.get<uint32_t>(prefix + "run_col", "u32");
    lay.num_states = num_states;
    lay.num_bnd = static_cast<int32_t>(num_bnd);
    lay.num_pred = static_cast<int32_t>(num_pred);
    lay.num_runs = static_cast<int32_t>(num_runs);
    return lay;
}

// A layout_ref whose extents the optimiser cannot see through.
layout_ref hidden(const layout_ref& lay) {
    layout_ref h = lay;
    h.num_states = opaque(h.num_states);
    h.num_bnd = opaque(h.num_bnd);
    h.num_pred = opaque(h.num_pred);
    h.num_runs = opaque(h.num_runs);
    return h;
}

// The transition model as written: CSR by destination state.
struct csr_model {
    const uint32_t* pred;
    const uint32_t* ptr;
    const float* weight;
    const uint32_t* columns;
    int32_t num_states;

    // A state the layout leaves implicit: one edge, from s-1, with the identity.
    bool plain(int32_t s, float identity) const {
        return ptr[s + 1] - ptr[s] == 1 && pred[ptr[s]] == static_cast<uint32_t>(s - 1) &&
               weight[ptr[s]] == identity;
    }
};

// ---------------------------------------------------------------------------
// Scalar references: every state reduced over its own edges, straight from
// the transition model, with the stated arithmetic.

struct viterbi_result {
    std::vector<float> scores;    // after the last frame
    std::vector<uint32_t> bt;     // frames x kept states, `unwritten` where no edge won
    std::vector<int32_t> kept;    // the states that keep back-pointers
    double offset = 0.0;
};

viterbi_result reference_viterbi(const csr_model& m, const float* log_dens, int32_t num_frames,
                                 int32_t num_cols, int32_t renorm_period, const float* initial) {
    const int32_t n = m.num_states;
    viterbi_result r;
    std::vector<int32_t> slot(static_cast<size_t>(n), -1);
    for (int32_t s = 0; s < n; ++s) {
        if (!m.plain(s, 0.0f)) {
            slot[s] = static_cast<int32_t>(r.kept.size());
            r.kept.push_back(s);
        }
    }
    const size_t width = r.kept.size();
    r.bt.assign(static_cast<size_t>(num_frames) * width, unwritten);
    std::vector<float> prev(initial, initial + n), cur(static_cast<size_t>(n));
    for (int32_t t = 0; t < num_frames; ++t) {
        const float* d = log_dens + static_cast<int64_t>(t) * num_cols;
        for (int32_t s = 0; s < n; ++s) {
            const float dval = d[m.columns[s]];
            float best = minus_inf;
            uint32_t best_src = unwritten;
            for (uint32_t p = m.ptr[s]; p < m.ptr[s + 1]; ++p) {
                const float candidate = (prev[m.pred[p]] + m.weight[p]) + dval;
                if (candidate > best) {
                    best = candidate;
                    best_src = m.pred[p];
                }
            }
            cur[s] = best;
            if (slot[s] >= 0)
                r.bt[static_cast<size_t>(t) * width + slot[s]] = best_src;
        }
        if (renorm_period > 0 && (t + 1) % renorm_period == 0 && n > 0) {
            float best = cur[0];
            for (int32_t s = 1; s < n; ++s)
                if (cur[s] > best)
                    best = cur[s];
            if (best > minus_inf) {
                for (int32_t s = 0; s < n; ++s)
                    cur[s] -= best;
                r.offset += static_cast<double>(best);
            }
        }
        std::swap(prev, cur);
    }
    r.scores = std::move(prev);
    return r;
}

struct forward_result {
    std::vector<float> belief;
    std::vector<uint32_t> states;
};

forward_result reference_forward(const csr_model& m, const float* dens, int32_t num_frames,
                                 int32_t num_cols, const float* initial) {
    const int32_t n = m.num_states;
    forward_result r;
    r.states.resize(static_cast<size_t>(num_frames));
    std::vector<float> a(initial, initial + n), b(static_cast<size_t>(n));
    for (int32_t t = 0; t < num_frames; ++t) {
        const float* d = dens + static_cast<int64_t>(t) * num_cols;
        for (int32_t s = 0; s < n; ++s) {
            float acc = 0.0f;
            for (uint32_t p = m.ptr[s]; p < m.ptr[s + 1]; ++p)
                acc = (a[m.pred[p]] * m.weight[p]) + acc;
            b[s] = acc * d[m.columns[s]];
        }
        float ssum = 0.0f;
        for (int32_t s = 0; s < n; ++s)
            ssum += b[s];
        uint32_t best_s = 0;
        if (ssum > 0.0f) {
            const float inv_sum = static_cast<float>(1.0 / static_cast<double>(ssum));
            float best = -1.0f;
            for (int32_t s = 0; s < n; ++s) {
                b[s] = b[s] * inv_sum;
                if (b[s] > best) {
                    best = b[s];
                    best_s = static_cast<uint32_t>(s);
                }
            }
        }
        r.states[t] = best_s;
        std::swap(a, b);
    }
    r.belief = std::move(a);
    return r;
}

// ---------------------------------------------------------------------------
// Floors

// The harness's own shift, so that the floor does not move when the
// kernels are tuned.
void plain_add_shift(float* __restrict cur, const float* __restrict prev, int32_t lo, int32_t hi,
                     float dval) {
    for (int32_t s = lo; s < hi; ++s)
        cur[s] = prev[s - 1] + dval;
}

// The bare interior shift over all N states and one candidate addition per
// boundary edge, per frame.
void viterbi_floor(const float* __restrict log_dens, int32_t num_frames, int32_t num_cols,
                   int32_t num_states, const float* __restrict bnd_weight, int32_t num_edges,
                   float* prev, float* cur, float* __restrict cand) {
    for (int32_t t = 0; t < num_frames; ++t) {
        const float dval = log_dens[static_cast<int64_t>(t) * num_cols];
        plain_add_shift(cur, prev, 1, num_states, dval);
        for (int32_t p = 0; p < num_edges; ++p)
            cand[p] = bnd_weight[p] + dval;
        cur[0] = cand[0];
        clobber();
        std::swap(prev, cur);
    }
}

// The serial float32 sum over N states, per frame.  It sums the initial
// belief: additions cost the same whatever the values, subnormals included.
void forward_floor(const float* __restrict belief, int32_t num_frames, int32_t num_states,
                   float* __restrict sums) {
    for (int32_t t = 0; t < num_frames; ++t) {
        clobber();  // the belief may have changed: sum it again
        float ssum = 0.0f;
        for (int32_t s = 0; s < num_states; ++s)
            ssum += belief[s];
        sums[t] = ssum;
    }
}

// ---------------------------------------------------------------------------
// Timing

using bench_clock = std::chrono::steady_clock;

template <class F>
double seconds(F&& f) {
    const auto start = bench_clock::now();
    f();
    clobber();
    return std::chrono::duration<double>(bench_clock::now() - start).count();
}

struct timing {
    std::vector<double> samples;
    double best() const { return *std::min_element(samples.begin(), samples.end()); }
    double median() const {
        std::vector<double> s = samples;
        std::sort(s.begin(), s.end());
        return s.size() % 2 ? s[s.size() / 2] : 0.5 * (s[s.size() / 2 - 1] + s[s.size() / 2]);
    }
};

void report(const char* name, int32_t frames, const timing& t) {
    std::printf("time %s %d %.9f %.9f\n", name, frames, t.best(), t.median());
}

bool check(const char* kernel, bool ok, const char* what) {
    std::printf("check %s %s %s\n", kernel, ok ? "ok" : "FAILED", what);
    return ok;
}

template <class T>
bool same_bits(const T* a, const T* b, size_t n) {
    return std::memcmp(a, b, n * sizeof(T)) == 0;
}

struct options {
    std::string dir = "bench/out";
    int reps = 9;
    int short_frames = 100;
    int short_reps = 300;
    bool verify = true;
    bool verify_only = false;
    std::string only;   // "viterbi" or "forward": time that recursion alone
    int frames = 0;     // fewer frames than the files hold, e.g. under callgrind
    std::vector<kernel_form> forms;  // the forms to run, widest last
};

options parse(int argc, char** argv) {
    options o;
    std::string forms;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "error: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--dir")
            o.dir = value();
        else if (a == "--reps")
            o.reps = std::max(1, std::atoi(value()));
        else if (a == "--short-frames")
            o.short_frames = std::max(1, std::atoi(value()));
        else if (a == "--short-reps")
            o.short_reps = std::max(1, std::atoi(value()));
        else if (a == "--no-verify")
            o.verify = false;
        else if (a == "--verify-only")
            o.verify_only = true;
        else if (a == "--only")
            o.only = value();
        else if (a == "--frames")
            o.frames = std::max(1, std::atoi(value()));
        else if (a == "--forms")
            forms = value();
        else {
            std::fprintf(stderr,
                         "usage: kernels_bench [--dir DIR] [--reps N] [--short-frames T] "
                         "[--short-reps N] [--no-verify | --verify-only] "
                         "[--only viterbi|forward] [--frames T] [--forms f1,f2,...]\n");
            std::exit(2);
        }
    }
    for (kernel_form f : all_forms)
        if (form_supported(f) && (forms.empty() || ("," + forms + ",").find(
                                                         std::string(",") + form_name(f) + ",") !=
                                                         std::string::npos))
            o.forms.push_back(f);
    if (o.forms.empty()) {
        std::fprintf(stderr, "error: none of the forms '%s' runs here\n", forms.c_str());
        std::exit(2);
    }
    return o;
}

std::string tagged(const char* name, kernel_form f) {
    return std::string(name) + "." + form_name(f);
}

// ---------------------------------------------------------------------------
// Viterbi

struct viterbi_bench {
    layout_ref lay;
    const float* log_dens;
    const float* log_initial;
    int32_t num_frames, num_cols, renorm_period;
    std::vector<float> buf_a, buf_b, pl;
    std::vector<uint32_t> bt;
    int64_t bt_stride;

    viterbi_bench(const layout_ref& l, const float* dens, const float* init, int32_t frames,
                  int32_t cols, int32_t renorm)
        : lay(l), log_dens(dens), log_initial(init), num_frames(frames), num_cols(cols),
          renorm_period(renorm), buf_a(static_cast<size_t>(l.num_states)),
          buf_b(static_cast<size_t>(l.num_states)),
          pl(static_cast<size_t>(std::max(l.num_pred, 1))),
          bt_stride(std::max(l.num_bnd, 1)) {
        bt.assign(static_cast<size_t>(frames) * static_cast<size_t>(bt_stride), unwritten);
    }

    // One decode's recursion over the first `frames` frames, the workspace
    // prepared as decode prepares it.
    double run(kernel_form form, int32_t frames, float** final_scores) {
        std::copy(log_initial, log_initial + lay.num_states, buf_a.begin());
        const layout_ref h = hidden(lay);
        viterbi_workspace work;
        if (!work.prepare(h, form))
            std::abort();
        return viterbi_recursion(opaque(form), h, opaque(log_dens), opaque(frames),
                                 opaque(num_cols), opaque(renorm_period), opaque(buf_a.data()),
                                 opaque(buf_b.data()), opaque(pl.data()), opaque(bt.data()),
                                 opaque(bt_stride), final_scores, work);
    }

    // The most probable path, as decode backtracks it; empty when the walk
    // leaves the state space.
    std::vector<int64_t> path(const float* final_scores) const {
        std::vector<int64_t> out(static_cast<size_t>(num_frames), 0);
        const int64_t state = first_argmax(final_scores, lay.num_states);
        if (!(final_scores[state] > minus_inf))
            return out;
        std::vector<uint8_t> is_bnd(static_cast<size_t>(lay.num_states), 0);
        std::vector<uint32_t> bnd_col(static_cast<size_t>(lay.num_states), 0);
        boundary_maps(lay, is_bnd.data(), bnd_col.data());
        if (!viterbi_backtrack(is_bnd.data(), bnd_col.data(), bt.data(), bt_stride,
                               lay.num_states, num_frames, state, out.data()))
            return {};
        return out;
    }
};

template <class T>
void write_file(const std::string& path, const std::vector<T>& values) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(values.data()),
               static_cast<std::streamsize>(values.size() * sizeof(T)));
}

bool verify_viterbi(viterbi_bench& vb, const csr_model& m, const options& o) {
    const viterbi_result ref = reference_viterbi(m, vb.log_dens, vb.num_frames, vb.num_cols,
                                                 vb.renorm_period, vb.log_initial);
    bool ok = check("viterbi", ref.kept.size() == static_cast<size_t>(vb.lay.num_bnd) &&
                                   std::equal(ref.kept.begin(), ref.kept.end(), vb.lay.bnd_state),
                    "boundary states match the transition model");
    for (kernel_form f : o.forms) {
        const std::string kernel = tagged("viterbi", f);
        const char* k = kernel.c_str();
        std::fill(vb.bt.begin(), vb.bt.end(), unwritten);
        float* final_scores = nullptr;
        const double offset = vb.run(f, vb.num_frames, &final_scores);
        ok = check(k, same_bits(final_scores, ref.scores.data(), ref.scores.size()),
                   "final scores bit-identical") && ok;
        ok = check(k, offset == ref.offset, "renormalisation offset identical") && ok;
        ok = check(k, vb.bt == ref.bt, "back-pointers identical") && ok;
        const std::vector<int64_t> path = vb.path(final_scores);
        ok = check(k, !path.empty() || vb.num_frames == 0,
                   "backtracking stays inside the state space") && ok;
        const int64_t state = first_argmax(final_scores, vb.lay.num_states);
        std::printf("result viterbi_log_probability.%s %.17g\n", form_name(f),
                    static_cast<double>(final_scores[state]) + offset);
        write_file(o.dir + "/viterbi_path." + form_name(f) + ".out", path);
    }
    return ok;
}

void time_viterbi(viterbi_bench& vb, const options& o) {
    const int32_t n = vb.lay.num_states;
    int32_t num_edges = static_cast<int32_t>(vb.lay.bnd_ptr[vb.lay.num_bnd]);
    std::vector<float> fa(vb.log_initial, vb.log_initial + n), fb(static_cast<size_t>(n));
    std::vector<float> cand(static_cast<size_t>(std::max(num_edges, 1)));
    float* final_scores = nullptr;
    std::vector<timing> kernel(o.forms.size());
    timing floor;
    for (int rep = 0; rep <= o.reps; ++rep) {  // rep 0 warms up
        for (size_t i = 0; i < o.forms.size(); ++i) {
            const double t = seconds([&] { vb.run(o.forms[i], vb.num_frames, &final_scores); });
            if (rep)
                kernel[i].samples.push_back(t);
        }
        std::copy(vb.log_initial, vb.log_initial + n, fa.begin());
        const double tf = seconds([&] {
            viterbi_floor(opaque(vb.log_dens), opaque(vb.num_frames), opaque(vb.num_cols),
                          opaque(n), opaque(vb.lay.bnd_weight), opaque(num_edges),
                          opaque(fa.data()), opaque(fb.data()), opaque(cand.data()));
        });
        if (rep)
            floor.samples.push_back(tf);
    }
    for (size_t i = 0; i < o.forms.size(); ++i)
        report(tagged("viterbi_recursion", o.forms[i]).c_str(), vb.num_frames, kernel[i]);
    report("viterbi_floor", vb.num_frames, floor);

    const kernel_form widest = o.forms.back();
    const int32_t short_frames = std::min(o.short_frames, vb.num_frames);
    timing short_kernel;
    for (int rep = 0; rep <= o.short_reps; ++rep) {
        const double t = seconds([&] { vb.run(widest, short_frames, &final_scores); });
        if (rep)
            short_kernel.samples.push_back(t);
    }
    report(tagged("viterbi_recursion", widest).c_str(), short_frames, short_kernel);
}

// ---------------------------------------------------------------------------
// Forward

struct forward_bench {
    layout_ref lay;
    const float* dens;
    const float* initial;
    int32_t num_frames, num_cols;
    std::vector<float> buf_a, buf_b, pl;
    std::vector<uint32_t> out;
    forward_workspace work;

    forward_bench(const layout_ref& l, const float* d, const float* init, int32_t frames,
                  int32_t cols)
        : lay(l), dens(d), initial(init), num_frames(frames), num_cols(cols),
          buf_a(static_cast<size_t>(l.num_states)), buf_b(static_cast<size_t>(l.num_states)),
          pl(static_cast<size_t>(std::max(l.num_pred, 1))), out(static_cast<size_t>(frames)) {
        if (!work.prepare(lay))
            std::abort();
    }

    float* run(kernel_form form) {
        std::copy(initial, initial + lay.num_states, buf_a.begin());
        const layout_ref h = hidden(lay);
        return forward_recursion(opaque(form), h, opaque(dens), opaque(num_frames),
                                 opaque(num_cols), opaque(buf_a.data()), opaque(buf_b.data()),
                                 opaque(pl.data()), opaque(out.data()), work);
    }
};

bool verify_forward(forward_bench& fb, const csr_model& m, const options& o) {
    const forward_result ref =
        reference_forward(m, fb.dens, fb.num_frames, fb.num_cols, fb.initial);
    bool ok = true;
    for (kernel_form f : o.forms) {
        const std::string kernel = tagged("forward", f);
        const float* belief = fb.run(f);
        ok = check(kernel.c_str(), same_bits(belief, ref.belief.data(), ref.belief.size()),
                   "final belief bit-identical") && ok;
        ok = check(kernel.c_str(), fb.out == ref.states, "per-frame states identical") && ok;
        write_file(o.dir + "/forward_states." + form_name(f) + ".out", fb.out);
    }
    return ok;
}

void time_forward(forward_bench& fb, const options& o) {
    const int32_t n = fb.lay.num_states;
    std::vector<float> belief(fb.initial, fb.initial + n);
    std::vector<float> sums(static_cast<size_t>(fb.num_frames));
    std::vector<timing> kernel(o.forms.size());
    timing floor;
    for (int rep = 0; rep <= o.reps; ++rep) {
        for (size_t i = 0; i < o.forms.size(); ++i) {
            const double t = seconds([&] { fb.run(o.forms[i]); });
            if (rep)
                kernel[i].samples.push_back(t);
        }
        const double tf = seconds([&] {
            forward_floor(opaque(belief.data()), opaque(fb.num_frames), opaque(n),
                          opaque(sums.data()));
        });
        if (rep)
            floor.samples.push_back(tf);
    }
    for (size_t i = 0; i < o.forms.size(); ++i)
        report(tagged("forward_recursion", o.forms[i]).c_str(), fb.num_frames, kernel[i]);
    report("forward_floor", fb.num_frames, floor);
}

}  // namespace

int main(int argc, char** argv) {
    const options o = parse(argc, argv);
    const model_files f = load(o.dir);
    const int32_t num_states = static_cast<int32_t>(f.scalar("num_states"));
    int32_t num_frames = static_cast<int32_t>(f.scalar("num_frames"));
    const int32_t num_cols = static_cast<int32_t>(f.scalar("num_cols"));
    const int32_t renorm_period = static_cast<int32_t>(f.scalar("renorm_period"));

    size_t num_dens = 0;
    const float* log_dens = f.get<float>("log_dens", "f32", &num_dens);
    const float* dens = f.get<float>("dens", "f32");
    if (num_dens != static_cast<size_t>(num_frames) * static_cast<size_t>(num_cols)) {
        std::fprintf(stderr, "error: log_dens holds %zu values, not %d x %d\n", num_dens,
                     num_frames, num_cols);
        return 2;
    }
    if (o.frames > 0)
        num_frames = std::min(num_frames, o.frames);
    const uint32_t* pred = f.get<uint32_t>("pred", "u32");
    const uint32_t* ptr = f.get<uint32_t>("ptr", "u32");
    const uint32_t* columns = f.get<uint32_t>("columns", "u32");
    const csr_model log_model{pred, ptr, f.get<float>("log_prob", "f32"), columns, num_states};
    const csr_model lin_model{pred, ptr, f.get<float>("prob", "f32"), columns, num_states};

    viterbi_bench vb(layout_from(f, "vit_", num_states), log_dens,
                     f.get<float>("log_initial", "f32"), num_frames, num_cols, renorm_period);
    forward_bench fb(layout_from(f, "fwd_", num_states), dens, f.get<float>("initial", "f32"),
                     num_frames, num_cols);

    std::printf("model states %d boundary %d edges %lld runs %d frames %d\n", num_states,
                vb.lay.num_bnd, static_cast<long long>(vb.lay.bnd_ptr[vb.lay.num_bnd]),
                vb.lay.num_runs, num_frames);
    for (kernel_form form : o.forms)
        std::printf("form %s\n", form_name(form));
    const bool viterbi = o.only.empty() || o.only == "viterbi";
    const bool forward = o.only.empty() || o.only == "forward";
    if (o.verify || o.verify_only) {
        const bool ok_v = !viterbi || verify_viterbi(vb, log_model, o);
        const bool ok_f = !forward || verify_forward(fb, lin_model, o);
        if (!ok_v || !ok_f)
            return 1;  // a figure for a wrong result means nothing
    }
    std::fflush(stdout);
    if (o.verify_only)
        return 0;
    if (viterbi)
        time_viterbi(vb, o);
    if (forward)
        time_forward(fb, o);
    return 0;
}
