// Marks that the script ran; it changes nothing visible, so a page shown
// with scripts switched off looks the same.
window.tarvikSample = { loaded: true, title: document.title };
