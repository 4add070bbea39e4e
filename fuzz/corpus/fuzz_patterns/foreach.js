items.forEach(i => fetch(i));
axios.get(url);
axios.get(url);
