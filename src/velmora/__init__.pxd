# Makes velmora a package that Cython can cimport from; the declarations
# are in headers.pxd:  from velmora.headers cimport Headers
