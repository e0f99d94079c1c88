"""A short tour of TarnWhistle."""

import numpy as np

import tarnwhistle as tw

print(f"TarnWhistle {tw.__version__}")
print(tw.config)

# Every length is in micrometres and lands on the configured grid.
print("snap 1.23456 ->", tw.snap_to_grid(1.23456))
print("snap points ->", tw.snap_to_grid(np.array([[0.0004, 2.0016], [-0.0015, 3.0]])).tolist())
print("floor/ceil on a 0.05 grid ->", tw.grid_floor(0.123, 0.05), tw.grid_ceil(0.123, 0.05))

# Properties travel with any object.
props = tw.Properties(designer="tarn", revision=3)
props.add_gds_property(1, "waveguide")
print(props)
