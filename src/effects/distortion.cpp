// distortion_s16(input, drive, pre_gain_db, post_gain_db, shape, soft_limit, mix)
#include "effects/distortion_kernel.hpp"
#include "effects/distortion_memo.hpp"
#include "effects/s16_result.hpp"
#include "module/registry.hpp"

namespace divavova {
namespace {

constexpr const char* kInvalidDistortion = "invalid distortion parameters";

DistortionMemo remembered_outputs;

PyObject* distortion_s16(PyObject*, PyObject* args) {
    BufferView input;
    double drive = 0.0, pre_gain_db = 0.0, post_gain_db = 0.0, mix = 0.0;
    int shape = 0, soft_limit = 0;
    if (!PyArg_ParseTuple(args, "y*dddipd:distortion_s16", input.slot(), &drive, &pre_gain_db, &post_gain_db,
                          &shape, &soft_limit, &mix))
        return nullptr;
    input.adopt();
    if (input.size() % 2 != 0 || shape < 0 || shape > 3) return value_error(kInvalidDistortion);

    DistortionSettings settings = distortion_settings(drive, pre_gain_db, post_gain_db, shape, soft_limit != 0, mix);
    S16Result block(input);
    if (!block.ok()) return nullptr;
    Vectors cpu = widest_vectors();
    const MemoTable table = remembered_outputs.table_for(settings, block.count(), cpu);
    if (table.cells && !table.shape_first) {
        distort_remembered(settings, cpu, table, block.in(), block.out(), block.count());
        return block.release();
    }
    distort(settings, cpu, block.in(), block.out(), block.count());
    if (table.cells) remember(table, block.in(), block.out(), block.count());
    return block.release();
}

}  // namespace

PyMethodDef distortion_s16_method() { return {"distortion_s16", distortion_s16, METH_VARARGS, nullptr}; }

}  // namespace divavova
