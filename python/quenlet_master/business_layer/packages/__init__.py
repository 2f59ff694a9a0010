"""Package services.

Kept free of imports: the native ``manager`` and ``repo_finder`` modules live here and
importing one of them must not pull in anything else.
"""
