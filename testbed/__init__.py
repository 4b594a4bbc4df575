"""The test bed: simulated NAS hosts ("worlds") that run the real orvand."""
