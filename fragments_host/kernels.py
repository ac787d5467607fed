"""The module's kernels by what they do. This is the one place that writes a
kernel number: every other module of the package calls a kernel through the
name given here, looked up once when the package is imported."""
from __future__ import annotations

import fragments as _module


def kernel(number):
    """Kernel `number` of the module (one attribute lookup, at import)."""
    return getattr(_module, f"_c_closure_{number}")


# -- stack moves and fills: placing operands, row pointers and shapes
copy_shape = kernel(578)                 # ri32[pos + k] = shape[k], whole shape
copy_shape_n = kernel(408)               # ri32[pos + k] = shape[k], k < n
copy_shape_run = kernel(145)             # the same, its own argument order
copy_i32_run = kernel(576)               # ri32[rpos + k] = wi32[wpos + k]
copy_i64_run = kernel(389)               # ri64[rpos + k] = wi64[wpos + k]
copy_f64_run = kernel(390)               # rf64[rpos + k] = wf64[wpos + k]
identity_rows = kernel(579)              # row pointer 0..n, coefficients 1.0
step_row_pointer = kernel(340)           # ri32[pos + k] = k * step, k = 0..n
zero_row_pointer = kernel(521)
zero_counters = kernel(522)
prefix_row_pointer = kernel(525)
prefix_counters = kernel(526)
shift_row_pointer = kernel(529)

# -- constant expressions
count_nonzeros = kernel(407)             # values that become constant terms
constant_rows = kernel(410)              # one constant term per non-zero value

# -- weighted sums and scaling
sum_has_programs = kernel(517)
sum_shapes_agree = kernel(516)
sum_totals = kernel(518)
sum_copy_shape = kernel(520)
sum_count_pass = kernel(524)
sum_fill_pass = kernel(528)
scale_terms = kernel(470)                # d * E in one call

# -- structural operations
pick_count = kernel(415)
pick_fill = kernel(416)
permute_shape = kernel(424)
operand_strides = kernel(419)
result_strides = kernel(422)
permute_fill = kernel(427)
box_count = kernel(420)
box_copy_shape = kernel(421)
box_fill = kernel(423)
stack_shapes_agree = kernel(434)
sum_of_extents = kernel(439)
outer_size = kernel(443)
inner_size = kernel(444)
stack_fill = kernel(442)
sum_along_axis = kernel(544)

# -- constant-matrix and parameter products
left_product_sizes = kernel(473)
left_product_fill_programs = kernel(478)
left_product_fill = kernel(479)
parameter_times_elements = kernel(369)
parameter_inner_product = kernel(364)

# -- term ordering and duplicate merge
order_terms = kernel(398)
merge_duplicates = kernel(406)

# -- index runs, triangles and element tables
ascending_fill = kernel(7)               # target[k] = s + k
expand_packed_triangle = kernel(89)
scatter_packed_triangle = kernel(88)
scale_off_diagonal = kernel(87)
split_axes = kernel(555)
lower_triangle_indices = kernel(558)
cone_element_tables = kernel(4)
largest_entry = kernel(6)
positive_entries = kernel(14)            # strictly positive idxs, stored as int32
shift_pairs = kernel(637)                # subi = msubi + a, subj = msubi + b

# -- compressed rows and triplets
count_rows_and_columns = kernel(117)
prefix_rows = kernel(125)
prefix_columns = kernel(122)
scatter_by_column = kernel(123)
scatter_rows_in_column_order = kernel(126)
count_positions = kernel(127)
merge_positions = kernel(128)
count_rows = kernel(124)
count_columns = kernel(121)
transpose_scatter = kernel(120)
copy_nonzero_triplets = kernel(647)

# -- gathers, scatters and vector arithmetic
gather = kernel(101)                     # res[e] = values[idxs[e]]
scatter = kernel(102)                    # values[idxs[e]] = vals[e]
scaled_copy = kernel(621)                # new[k] = alpha * old[k]
difference = kernel(24)                  # y[k] = a[k] - b[k]
bound_dual_difference = kernel(23)

# -- domains and constraint rows
lay_out_bounds = kernel(82)
split_rows_and_constants = kernel(76)
dense_rows = kernel(41)

# -- coefficient programs and the parameter table
count_programs = kernel(135)
reserve_programs = kernel(136)
copy_programs = kernel(137)
evaluate_programs = kernel(134)
evaluate_parameterized_rows = kernel(25)

# -- solution mapping
variable_values = kernel(17)
negated_variable_values = kernel(18)
variable_duals = kernel(20)
constraint_duals = kernel(16)
