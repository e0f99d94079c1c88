"""Library of common materials: material name -> variant name -> medium.

Each variant is a compact model that is accurate around the telecom wavelengths, not a
reproduction of the tabulated data it is named after.
"""

from .components.medium import Drude, Sellmeier

material_library = {
    "Si": {
        # Three-term Sellmeier fit of crystalline silicon near room temperature (Salzberg and
        # Villa); n = 3.478 at 1550 nm. At 293 K the index is about 1e-3 lower
        # (dn/dT ~ 1.8e-4 / K), which this stand-in neglects.
        "Li1993_293K": Sellmeier(
            coeffs=((10.6684293, 0.301516485**2), (0.0030434748, 1.13475115**2),
                    (1.54133408, 1104.0**2)),
            name="Si"),
    },
    "SiO2": {
        # Fused silica, Malitson's Sellmeier equation; n = 1.4440 at 1550 nm, lossless.
        "Palik_LowLoss": Sellmeier(
            coeffs=((0.6961663, 0.0684043**2), (0.4079426, 0.1162414**2),
                    (0.8974794, 9.896161**2)),
            name="SiO2"),
    },
    "Cu": {
        # One-term Drude model through Johnson and Christy's eps = -116 + 11.4j at 1550 nm
        # (plasma frequency 8.7 eV); meant for the near infrared only.
        "JohnsonChristy1972": Drude(coeffs=((2.102e15, 1.885e13),), name="Cu"),
    },
}
