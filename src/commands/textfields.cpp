// Fixed-width and trailing text fields of libsndfile structures.
