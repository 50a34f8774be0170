// Nothing of its own: the layer check DLL exists for what it links.
